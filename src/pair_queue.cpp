#include "pair_queue.h"

#include <string_view>
#include <unordered_set>
#include <utility>

bool PairQueue::add(const std::string &uri, const std::string &filename)
{
    if (last_ && !last_->complete && last_->filename == filename) {
        if (!last_->done)  // once an alternative held a picture, the rest are not opened
            last_->uris.push_back(uri);
        return true;
    }
    if (last_)
        last_->complete = true;
    if (in_flight_.size() >= most_in_flight_)
        return false;
    last_ = std::make_shared<Job>();
    last_->filename = filename;
    last_->uris.push_back(uri);
    in_flight_.push_back(last_);
    return true;
}

bool PairQueue::add_unpaired(const std::string &uri)
{
    if (last_)
        last_->complete = true;
    if (in_flight_.size() >= most_in_flight_)
        return false;
    last_ = std::make_shared<Job>();
    last_->lines = "usage: vantrell-batch: no filename after " + uri + '\n';
    last_->complete = last_->started = last_->done = true;
    in_flight_.push_back(last_);
    return true;
}

void PairQueue::end_input()
{
    if (last_)
        last_->complete = true;
    input_ended_ = true;
}

void PairQueue::settle_if_over(Job &job)
{
    if (!job.reading && job.uris.empty() && job.complete)
        job.done = true;
}

void PairQueue::for_each_ready(const std::function<bool(const JobPointer &)> &read)
{
    // The filenames of the jobs before the one looked at, gathered from the first job not yet started on:
    // most of the time the jobs before it are many and none waits.
    std::unordered_set<std::string_view> being_written;
    bool gathering = false;
    for (std::size_t i = 0; i < in_flight_.size(); i++) {
        const JobPointer job = in_flight_[i];
        settle_if_over(*job);
        if (job->done)
            continue;
        if (!job->started && !gathering) {
            for (std::size_t earlier = 0; earlier < i; earlier++) {
                if (!in_flight_[earlier]->done)
                    being_written.insert(in_flight_[earlier]->filename);
            }
            gathering = true;
        }
        if (gathering && !being_written.insert(job->filename).second && !job->started)
            continue;  // an earlier job writes this filename
        while (!job->reading && !job->uris.empty() && !job->done) {
            if (!read(job))
                return;
            settle_if_over(*job);
        }
    }
}

std::string PairQueue::begin(Job &job, bool *retried)
{
    std::string uri = std::move(job.uris.front());
    job.uris.pop_front();
    *retried = job.retrying;
    if (!job.resumed)
        job.lines += "Opening " + uri + '\n';
    job.retrying = job.resumed = false;
    job.started = job.reading = true;
    return uri;
}

void PairQueue::give_back(Job &job, std::string uri, bool retried)
{
    job.uris.push_front(std::move(uri));
    job.retrying = retried;
    job.resumed = true;
    job.reading = false;
}

void PairQueue::finish(Job &job, const std::string &lines, bool held_picture, bool written)
{
    job.lines += lines;
    job.reading = false;
    if (held_picture) {
        job.written = written;
        job.uris.clear();
        job.done = true;
    }
    settle_if_over(job);
}

std::string PairQueue::printable(const std::function<void(bool written)> &counted)
{
    std::string out;
    while (!in_flight_.empty()) {
        Job &front = *in_flight_.front();
        settle_if_over(front);
        out.append(front.lines, front.printed, std::string::npos);
        front.printed = front.lines.size();
        if (!front.done)
            break;
        counted(front.written);
        in_flight_.pop_front();
    }
    return out;
}
