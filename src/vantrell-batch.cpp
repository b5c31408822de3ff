// vantrell-batch: the album art of many sources in one process. Standard input holds pairs, uri NUL
// filename NUL; each pair is what `vantrell uri filename` does, several run at once, and each pair's lines
// come out together, in input order.
#include "extractor.h"
#include "platform.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Pairs that run at once. Most of a pair's time is waiting on a disk, a share or a server, so several per
// core keep every core busy and overlap the waits (bench/ measures it); more gain nothing.
unsigned side_by_side() { return std::max(8u, 4 * std::thread::hardware_concurrency()); }

// Filenames in flight at most: what is done waits here for the lines before it, so memory stays flat
// however many pairs come, and a stalled source holds up only this many after it.
constexpr std::size_t most_in_flight = 256;

// One filename and its alternatives: consecutive pairs that name it, tried in order until one holds a
// picture. Its fields are the batch's, under the batch's lock, but for the lines of a job in progress.
struct Job {
    std::string filename;
    std::deque<std::string> uris;  // alternatives not yet tried
    bool complete = false;         // no more alternatives will come
    bool started = false, done = false;
    std::string lines;             // the report, each line with its newline, once done
};
using JobPointer = std::shared_ptr<Job>;

// Each waiter has a condition of its own, so that a change wakes only those it concerns.
struct Batch {
    std::mutex lock;
    std::condition_variable work_to_start, more_alternatives, job_done, room_for_jobs;
    std::deque<JobPointer> in_flight;  // in input order, until their lines are out
    bool input_ended = false;
};

// The first job that may start: never one whose filename an earlier job still writes, so that the files
// end as if the pairs had run one after another.
JobPointer next_to_start(const Batch &batch)
{
    for (auto job = batch.in_flight.begin(); job != batch.in_flight.end(); ++job) {
        if ((*job)->started)
            continue;
        const bool waits = std::any_of(batch.in_flight.begin(), job, [&](const JobPointer &earlier) {
            return !earlier->done && earlier->filename == (*job)->filename;
        });
        if (!waits)
            return *job;
    }
    return nullptr;
}

bool any_unstarted(const Batch &batch)
{
    return std::any_of(batch.in_flight.begin(), batch.in_flight.end(),
                       [](const JobPointer &job) { return !job->started; });
}

void run_job(Batch &batch, Job &job)
{
    std::string lines;
    const LineSink collect = [&lines](const std::string &line) { lines += line + '\n'; };
    for (;;) {
        std::string uri;
        {
            std::unique_lock<std::mutex> hold(batch.lock);
            batch.more_alternatives.wait(hold, [&] { return !job.uris.empty() || job.complete; });
            if (job.uris.empty())
                break;
            uri = std::move(job.uris.front());
            job.uris.pop_front();
        }
        if (retrieve_album_art(uri.c_str(), job.filename.c_str(), collect))
            break;
    }
    {
        std::lock_guard<std::mutex> hold(batch.lock);
        job.lines = std::move(lines);
        job.done = true;
        job.uris.clear();
    }
    batch.job_done.notify_one();
    batch.work_to_start.notify_one();  // a later job for the same filename may start now
}

void work(Batch &batch)
{
    for (;;) {
        JobPointer job;
        {
            std::unique_lock<std::mutex> hold(batch.lock);
            batch.work_to_start.wait(hold, [&] {
                job = next_to_start(batch);
                return job || (batch.input_ended && !any_unstarted(batch));
            });
            if (!job) {
                batch.work_to_start.notify_all();  // the input is over and so is the work: the others end too
                return;
            }
            job->started = true;
        }
        run_job(batch, *job);
    }
}

// One NUL-terminated field; the last one may lack its NUL. False at the end of the input.
bool read_field(std::FILE *input, std::string *field)
{
    field->clear();
    int c;
    while ((c = std::getc(input)) != EOF && c != '\0')
        field->push_back(static_cast<char>(c));
    return c != EOF || !field->empty();
}

// A job that is already over: its lines are fixed.
JobPointer finished(const std::string &lines)
{
    JobPointer job = std::make_shared<Job>();
    job->complete = job->started = job->done = true;
    job->lines = lines;
    return job;
}

void add_job(Batch &batch, std::unique_lock<std::mutex> &hold, JobPointer job)
{
    batch.room_for_jobs.wait(hold, [&] { return batch.in_flight.size() < most_in_flight; });
    batch.in_flight.push_back(std::move(job));
    batch.work_to_start.notify_one();
    batch.job_done.notify_one();  // a job that is over from the start
}

// Reads the pairs as they come, so that the work overlaps whatever produces them.
void read_pairs(Batch &batch, std::FILE *input)
{
    JobPointer last;
    std::string uri, filename;
    while (read_field(input, &uri)) {
        const bool paired = read_field(input, &filename);
        std::unique_lock<std::mutex> hold(batch.lock);
        if (paired && last && !last->complete && last->filename == filename) {
            if (!last->done)  // once an alternative held a picture, the rest are not opened
                last->uris.push_back(uri);
        } else {
            if (last)
                last->complete = true;
            if (paired) {
                last = std::make_shared<Job>();
                last->filename = filename;
                last->uris.push_back(uri);
            } else {
                last = finished("usage: vantrell-batch: no filename after " + uri + '\n');
            }
            add_job(batch, hold, last);
        }
        batch.more_alternatives.notify_all();
    }
    std::lock_guard<std::mutex> hold(batch.lock);
    if (last)
        last->complete = true;
    batch.input_ended = true;
    batch.more_alternatives.notify_all();
    batch.work_to_start.notify_all();
    batch.job_done.notify_one();
}

// Each job's lines in input order, as soon as it and every job before it are done.
void report_in_order(Batch &batch)
{
    for (;;) {
        JobPointer job;
        {
            std::unique_lock<std::mutex> hold(batch.lock);
            batch.job_done.wait(hold, [&] {
                return (!batch.in_flight.empty() && batch.in_flight.front()->done) ||
                       (batch.input_ended && batch.in_flight.empty());
            });
            if (batch.in_flight.empty())
                return;
            job = batch.in_flight.front();
            batch.in_flight.pop_front();
        }
        batch.room_for_jobs.notify_one();
        std::fwrite(job->lines.data(), 1, job->lines.size(), stdout);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = platform::utf8_arguments(argc, argv);
    platform::detach_from_standard_streams();
    platform::binary_standard_input();
    start_media_library();
    if (arguments.size() != 1) {
        std::puts("usage: vantrell-batch < uri NUL filename NUL ...");
        return 0;
    }

    Batch batch;
    std::thread reader(read_pairs, std::ref(batch), stdin);
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < side_by_side(); i++)
        workers.emplace_back(work, std::ref(batch));
    report_in_order(batch);
    reader.join();
    for (std::thread &worker : workers)
        worker.join();
    return 0;
}
