// A reader: everything it does with a source happens here, in a process that the supervisor can lose
// without losing the run. For each pair it receives, it first passes the gate of its connection, which says
// whether the supervisor still wants it read here and keeps a note of it that the supervisor finds even
// after a crash; then it runs the extractor and sends back the pair's report in one piece: its lines, the
// picture if any, and the end of the pair. A pair that someone watches as it runs (vantrell's) has its
// first line sent at once, so that a source that keeps the reader waiting is seen to be waited on.
#include "reader.h"

#include "extractor.h"
#include "messages.h"

#include <cstdint>
#include <string>

void serve_pairs(platform::Connection &supervisor)
{
    Inbox inbox;
    Message pair;
    std::uint64_t received = 0;
    for (;;) {
        while (!inbox.next(&pair)) {
            if (inbox.receive(supervisor, true) <= 0)
                return;
        }
        if (pair.kind != MessageKind::pair)
            return;
        const std::size_t split = pair.payload.find('\0', 1);
        if (split == std::string::npos)
            return;
        if (!supervisor.begin_pair(++received))
            continue;  // taken back: another reader has it
        const bool first_line_at_once = pair.payload[0] == '1';
        const std::string uri = pair.payload.substr(1, split - 1), filename = pair.payload.substr(split + 1);
        Outbox report;
        bool first_line = true;
        const LineSink add_line = [&](const std::string &line) {
            report.add(MessageKind::line, line.data(), line.size());
            if (first_line && first_line_at_once)
                report.send(supervisor);
            first_line = false;
        };
        const PictureSink hand_over = [&](const unsigned char *picture, std::size_t size, bool may_write) {
            const MessageKind kind = may_write ? MessageKind::picture : MessageKind::source_picture;
            const char *bytes = reinterpret_cast<const char *>(picture);
            if (size <= Outbox::largest_gathered) {
                report.add(kind, bytes, size);
            } else {  // sent now, while the source that holds it is open
                report.send(supervisor);
                send_message(supervisor, kind, bytes, size);
            }
        };
        const Outcome outcome = retrieve_album_art(uri.c_str(), filename.c_str(), add_line, hand_over);
        const char pushed_back = outcome == Outcome::server_pushed_back ? '1' : '0';
        report.add(MessageKind::end, &pushed_back, 1);
        if (!report.send(supervisor))
            return;
    }
}
