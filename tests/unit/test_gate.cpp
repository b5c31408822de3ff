// The gate between a reader and its supervisor.
#include "unit.h"

#include "gate.h"

#include <atomic>
#include <cstdint>

UNIT_TEST(gate_begins_and_takes_back)
{
    std::atomic<std::uint64_t> word{0};
    Gate gate(&word);
    CHECK(gate.begin(1) && gate.begun() == 1, "a pair begins");
    CHECK(!gate.take_back(1, 3), "a pair begun cannot be taken back");
    CHECK(gate.take_back(2, 3) && gate.taken_back() == 3, "those after it can");
    CHECK(!gate.begin(2) && !gate.begin(3) && gate.begun() == 1, "and are then not begun");
    CHECK(gate.begin(4) && gate.begun() == 4, "a pair sent later is");
    std::atomic<std::uint64_t> fresh{0};
    Gate unbegun(&fresh);
    CHECK(unbegun.take_back(2, 3) && !unbegun.begin(1), "taking back names the last pair: those before it go too");
}
