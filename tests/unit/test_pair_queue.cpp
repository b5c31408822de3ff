// The queue of pairs: input order, alternatives, one writer per filename, and room in flight.
#include "unit.h"

#include "pair_queue.h"

#include <string>
#include <vector>

namespace {

// The uris that a round of dispatch would give to readers, begun; read: the jobs that get them.
std::vector<std::string> dispatch(PairQueue &queue, std::vector<JobPointer> *read = nullptr)
{
    std::vector<std::string> begun;
    queue.for_each_ready([&](const JobPointer &job) {
        bool retried = false;
        begun.push_back(queue.begin(*job, &retried));
        if (read)
            read->push_back(job);
        return true;
    });
    return begun;
}

std::string lines(PairQueue &queue)
{
    return queue.printable([](bool) {});
}

}  // namespace

UNIT_TEST(alternatives_are_tried_in_order_until_one_holds_a_picture)
{
    PairQueue queue(16);
    CHECK(queue.add("a.mp3", "cover.jpg") && queue.add("b.mp3", "cover.jpg") && queue.add("c.mp3", "cover.jpg"),
          "alternatives are taken");
    queue.end_input();
    std::vector<JobPointer> read;
    CHECK(dispatch(queue, &read) == std::vector<std::string>{"a.mp3"}, "only the first alternative is read");
    CHECK(dispatch(queue).empty(), "nothing more while it is read");
    queue.finish(*read[0], "", false, false);
    read.clear();
    CHECK(dispatch(queue, &read) == std::vector<std::string>{"b.mp3"}, "no picture: the next alternative");
    queue.finish(*read[0], "Wrote album art to cover.jpg\n", true, true);
    CHECK(dispatch(queue).empty(), "a picture ends the search: c.mp3 is never opened");
    const std::string printed = lines(queue);
    CHECK(printed == "Opening a.mp3\nOpening b.mp3\nWrote album art to cover.jpg\n", "lines: " + printed);
    CHECK(queue.finished(), "all is out");
}

UNIT_TEST(one_writer_per_filename)
{
    PairQueue queue(16);
    queue.add("a.mp3", "x.jpg");
    queue.add("b.mp3", "y.jpg");
    queue.add("c.mp3", "x.jpg");  // not next to a.mp3: a job of its own, after it
    queue.add("d.mp3", "z.jpg");
    queue.end_input();
    std::vector<JobPointer> read;
    CHECK(dispatch(queue, &read) == (std::vector<std::string>{"a.mp3", "b.mp3", "d.mp3"}),
          "x.jpg's later pair waits for its earlier one");
    queue.finish(*read[0], "Wrote album art to x.jpg\n", true, true);
    CHECK(dispatch(queue) == std::vector<std::string>{"c.mp3"}, "then it is read");
}

UNIT_TEST(lines_come_in_input_order)
{
    PairQueue queue(16);
    queue.add("a.mp3", "a.jpg");
    queue.add("b.mp3", "b.jpg");
    queue.add_unpaired("c.mp3");
    queue.end_input();
    std::vector<JobPointer> read;
    dispatch(queue, &read);
    queue.finish(*read[1], "Wrote album art to b.jpg\n", true, true);
    CHECK(lines(queue) == "Opening a.mp3\n", "the first pair's Opening shows at once; b waits for a");
    queue.finish(*read[0], "avformat_open_input() failed\n", false, false);
    CHECK(lines(queue) == "avformat_open_input() failed\nOpening b.mp3\nWrote album art to b.jpg\n"
                          "usage: vantrell-batch: no filename after c.mp3\n",
          "then the rest, in order");
    CHECK(queue.finished(), "all is out");
}

UNIT_TEST(a_pair_given_back_is_read_again_with_one_opening)
{
    PairQueue queue(16);
    queue.add("a.mp3", "a.jpg");
    queue.end_input();
    std::vector<JobPointer> read;
    dispatch(queue, &read);
    queue.give_back(*read[0], "a.mp3", true);
    bool retried = false;
    std::vector<std::string> again;
    queue.for_each_ready([&](const JobPointer &job) {
        again.push_back(queue.begin(*job, &retried));
        return true;
    });
    CHECK(again == std::vector<std::string>{"a.mp3"} && retried, "given back, it is read again, as retried");
    queue.finish(*read[0], "could not read the format header\n", false, false);
    const std::string printed = lines(queue);
    CHECK(printed == "Opening a.mp3\ncould not read the format header\n", "one Opening line: " + printed);
}

UNIT_TEST(room_in_flight)
{
    PairQueue queue(2);
    CHECK(queue.add("a.mp3", "a.jpg") && queue.add("b.mp3", "b.jpg"), "two filenames fit");
    CHECK(queue.add("b2.mp3", "b.jpg"), "an alternative of the last takes no room");
    CHECK(!queue.add("c.mp3", "c.jpg"), "a third filename waits");
    std::vector<JobPointer> read;
    dispatch(queue, &read);
    queue.finish(*read[0], "", false, false);
    lines(queue);
    CHECK(queue.add("c.mp3", "c.jpg"), "once the first is out, it fits");
}

UNIT_TEST(a_reader_that_declines_stops_the_round)
{
    PairQueue queue(16);
    queue.add("a.mp3", "a.jpg");
    queue.add("b.mp3", "b.jpg");
    int offered = 0;
    queue.for_each_ready([&](const JobPointer &) { return ++offered > 1; });
    CHECK(offered == 1, "no reader for the first: the round ends");
}
