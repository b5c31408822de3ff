#include "gate.h"

namespace {

constexpr std::uint64_t low_half = 0xffffffffu;

}  // namespace

bool Gate::begin(std::uint64_t number)
{
    std::uint64_t word = word_->load();
    do {
        if (number <= (word & low_half))
            return false;
    } while (!word_->compare_exchange_weak(word, (number << 32) | (word & low_half)));
    return true;
}

bool Gate::take_back(std::uint64_t first, std::uint64_t last)
{
    std::uint64_t word = word_->load();
    do {
        if ((word >> 32) >= first)
            return false;
    } while (!word_->compare_exchange_weak(word, (word & ~low_half) | (last & low_half)));
    return true;
}

std::uint64_t Gate::begun() const { return word_->load() >> 32; }

std::uint64_t Gate::taken_back() const { return word_->load() & low_half; }
