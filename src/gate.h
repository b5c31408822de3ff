// The gate between a reader and its supervisor: one word of memory that the two share and that outlives
// the reader. The supervisor numbers the pairs that it sends a reader from 1; the reader begins each only
// after passing the gate, which marks it as begun, and the supervisor may take back pairs that the reader
// has not begun, for another reader. After a crash the word tells which pair was being read.
//
// The high half holds the last pair begun; the low half the last taken back, which with every pair before
// it the reader does not begin. Only the reader writes the high half and only the supervisor the low one,
// so a supervisor that finds either otherwise than it can be knows the reader for broken.
#pragma once

#include <atomic>
#include <cstdint>

class Gate {
  public:
    explicit Gate(std::atomic<std::uint64_t> *word) : word_(word) {}

    // The reader: whether it may begin pair number; false: taken back, not to be read here.
    bool begin(std::uint64_t number);
    // The supervisor: takes back the pairs from first through last, if the reader has begun none of them.
    bool take_back(std::uint64_t first, std::uint64_t last);

    std::uint64_t begun() const;
    std::uint64_t taken_back() const;

  private:
    std::atomic<std::uint64_t> *word_;
};
