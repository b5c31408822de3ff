// What the supervisor takes from a reader: the outcome of the pair it reads, once, in an honest form, and
// nothing else, whatever comes and however it is cut.
#include "unit.h"

#include "protocol.h"

#include <cstdint>
#include <string>

namespace {

std::string number(std::uint64_t value)
{
    std::string bytes;
    for (int i = 0; i < 8; i++)
        bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

// An outcome as the wire carries it, written here by hand rather than by the code under test.
std::string outcome(std::uint64_t pair, std::uint8_t ending, std::uint8_t flags, const std::string &picture,
                    char kind = 'O', std::uint64_t size = UINT64_MAX)
{
    return std::string(1, kind) + number(pair) + number(size == UINT64_MAX ? picture.size() : size) +
           static_cast<char>(ending) + static_cast<char>(flags) + picture;
}

const std::uint8_t no_picture = 1, header_failed = 3, picture = 4, unconfined = 6;

struct Row {
    const char *name;
    std::string bytes;
    std::uint64_t expected;
    OutcomeInbox::Result result;
    Ending ending;
    std::string picture;
};

}  // namespace

UNIT_TEST(outcomes_honest_and_otherwise)
{
    const std::string jpeg = "\xff\xd8\xff" + std::string(5000, 'j');
    const Row rows[] = {
        {"a picture", outcome(1, picture, 0, jpeg), 1, OutcomeInbox::Result::outcome, Ending::picture, jpeg},
        {"no picture", outcome(3, no_picture, 0, ""), 3, OutcomeInbox::Result::outcome, Ending::no_picture, ""},
        {"a header that broke off, its server pushing back", outcome(2, header_failed, 1, ""), 2,
         OutcomeInbox::Result::outcome, Ending::header_failed, ""},
        {"half a header", outcome(1, picture, 0, jpeg).substr(0, 10), 1, OutcomeInbox::Result::waiting,
         Ending::no_picture, ""},
        {"a picture not yet whole", outcome(1, picture, 0, jpeg).substr(0, 900), 1, OutcomeInbox::Result::waiting,
         Ending::no_picture, ""},
        {"another pair's outcome", outcome(2, no_picture, 0, ""), 1, OutcomeInbox::Result::fault, Ending::no_picture, ""},
        {"an outcome of a pair already answered", outcome(4, picture, 0, jpeg), 5, OutcomeInbox::Result::fault,
         Ending::no_picture, ""},
        {"a kind that no reader sends", outcome(1, no_picture, 0, "", 'L'), 1, OutcomeInbox::Result::fault,
         Ending::no_picture, ""},
        {"a request, as the supervisor sends", outcome(1, no_picture, 0, "", 'R'), 1, OutcomeInbox::Result::fault,
         Ending::no_picture, ""},
        {"a gigabyte announced, none sent", outcome(1, picture, 0, "", 'O', std::uint64_t(1) << 30).substr(0, 17), 1,
         OutcomeInbox::Result::fault, Ending::no_picture, ""},
        {"a picture one byte over the largest", outcome(1, picture, 0, "", 'O', largest_picture + 1).substr(0, 17), 1,
         OutcomeInbox::Result::fault, Ending::no_picture, ""},
        {"an ending that does not exist", outcome(1, 9, 0, ""), 1, OutcomeInbox::Result::fault, Ending::no_picture, ""},
        {"an ending of zero", outcome(1, 0, 0, ""), 1, OutcomeInbox::Result::fault, Ending::no_picture, ""},
        {"a flag that does not exist", outcome(1, no_picture, 4, ""), 1, OutcomeInbox::Result::fault,
         Ending::no_picture, ""},
        {"a picture without bytes", outcome(1, picture, 0, ""), 1, OutcomeInbox::Result::fault, Ending::no_picture, ""},
        {"bytes without a picture", outcome(1, no_picture, 0, "text"), 1, OutcomeInbox::Result::fault,
         Ending::no_picture, ""},
        {"a reader that could not take Landlock's rules", outcome(1, unconfined, 3, ""), 1,
         OutcomeInbox::Result::outcome, Ending::unconfined, ""},
        {"unconfined in no layer", outcome(1, unconfined, 0, ""), 1, OutcomeInbox::Result::fault, Ending::no_picture, ""},
    };
    for (const Row &row : rows) {
        // Whole, and a byte at a time: the answer is the same, and nothing is taken before the bytes decide.
        for (const bool byte_by_byte : {false, true}) {
            OutcomeInbox inbox;
            PairOutcome taken;
            std::string why;
            OutcomeInbox::Result result = OutcomeInbox::Result::waiting;
            if (byte_by_byte) {
                for (std::size_t i = 0; i < row.bytes.size() && result == OutcomeInbox::Result::waiting; i++) {
                    inbox.absorb(&row.bytes[i], 1);
                    result = inbox.next(row.expected, &taken, &why);
                }
            } else {
                inbox.absorb(row.bytes.data(), row.bytes.size());
                result = inbox.next(row.expected, &taken, &why);
            }
            const std::string name = std::string(row.name) + (byte_by_byte ? ", a byte at a time" : "");
            CHECK(result == row.result, name + ": result " + std::to_string(static_cast<int>(result)));
            CHECK(result != OutcomeInbox::Result::fault || !why.empty(), name + ": a fault says why");
            if (result == OutcomeInbox::Result::outcome && row.result == result) {
                CHECK(taken.number == row.expected, name + ": pair number");
                CHECK(taken.extraction.ending == row.ending, name + ": ending");
                CHECK(taken.picture == row.picture, name + ": picture");
            }
        }
    }
}

UNIT_TEST(outcomes_one_after_another)
{
    OutcomeInbox inbox;
    const std::string bytes = outcome(1, picture, 2, "\x89PNG") + outcome(2, no_picture, 0, "") + "O";
    inbox.absorb(bytes.data(), bytes.size());
    PairOutcome first, second, third;
    std::string why;
    CHECK(inbox.next(1, &first, &why) == OutcomeInbox::Result::outcome && first.picture == "\x89PNG" &&
              first.extraction.filename_read,
          "the first outcome, with its flag");
    CHECK(inbox.next(2, &second, &why) == OutcomeInbox::Result::outcome, "the second outcome");
    CHECK(inbox.holds_bytes(), "a byte after them is kept, for the caller to judge");
    CHECK(inbox.next(3, &third, &why) == OutcomeInbox::Result::waiting, "and is no outcome yet");
    const std::string again = outcome(2, no_picture, 0, "").substr(1);
    inbox.absorb(again.data(), again.size());
    CHECK(inbox.next(3, &third, &why) == OutcomeInbox::Result::fault && inbox.answered_again(),
          "a second outcome for pair 2 is a fault, over pair 2");
}
