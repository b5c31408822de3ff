// What the supervisor and its readers say to each other over a connection. The supervisor sends a reader
// pairs to read; the reader answers each with one outcome. Every message names the pair that it belongs
// to: a kind byte, the pair's number and the size of what follows, each in eight bytes, least significant
// first; an outcome then says how the reading ended and its flags (for a reader that could not be
// confined, the layer that failed), a byte each, before its picture.
//
// A reader parses untrusted bytes and is presumed taken over: the supervisor believes nothing from it but
// the outcome of the pair that it is reading, once, in the form that an honest reader gives. Anything else
// is a fault of that reader, and its size is checked before any memory is taken for it.
#pragma once

#include "extractor.h"
#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct PairRequest {
    std::uint64_t number = 0;
    std::string uri, filename;
};

struct PairOutcome {
    std::uint64_t number = 0;
    Extraction extraction;
    platform::Unconfined unconfined = platform::Unconfined::no;  // for Ending::unconfined, the layer
    std::string picture;                                         // for Ending::picture, never empty
};

bool send_request(platform::Connection &reader, const PairRequest &request);
bool send_outcome(platform::Connection &supervisor, std::uint64_t number, const Extraction &extraction,
                  const unsigned char *picture = nullptr, std::size_t size = 0);
// The answer of a reader that could not be confined, and so reads nothing.
bool send_unconfined(platform::Connection &supervisor, std::uint64_t number, platform::Unconfined layer);

// The reader's side: the supervisor's requests, as whole messages.
class RequestInbox {
  public:
    // Waits for the next request; false once the supervisor hangs up or sends what is no request.
    bool next(platform::Connection &supervisor, PairRequest *request);

  private:
    std::string staged_;
};

// The supervisor's side: what one reader sends.
class OutcomeInbox {
  public:
    enum class Result { waiting, outcome, fault };

    // Takes what the reader has sent, without waiting: the number of bytes, 0 once the connection has
    // ended, -1 when nothing has come.
    long receive(platform::Connection &reader);
    void absorb(const char *bytes, std::size_t size);
    // The outcome of pair expected once it is whole; a fault, and why, for anything else that has come.
    Result next(std::uint64_t expected, PairOutcome *outcome, std::string *why);
    // Whether bytes have come that no outcome has used.
    bool holds_bytes() const { return !staged_.empty() || in_picture_; }
    // Whether the last fault was an outcome of a pair answered before, which the pair being read is not to
    // blame for.
    bool answered_again() const { return answered_again_; }

  private:
    std::string staged_;       // bytes that came before a header was whole, or after an outcome
    bool in_picture_ = false;  // a header is in and checked, its picture coming into outcome_
    std::uint64_t picture_size_ = 0;
    bool answered_again_ = false;
    PairOutcome outcome_;
};
