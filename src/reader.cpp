// A reader: everything it does with a source happens here, in a process that the supervisor can lose
// without losing the run. For each pair it receives, it first passes the gate of its connection, which says
// whether the supervisor still wants it read here and keeps a note of it that the supervisor finds even
// after a crash; then it runs the extractor and answers with the pair's outcome, the picture sent while the
// source that holds it is open.
#include "reader.h"

#include "extractor.h"
#include "gate.h"
#include "protocol.h"

void serve_pairs(platform::Connection &supervisor, platform::Unconfined unconfined)
{
    RequestInbox inbox;
    PairRequest pair;
    Gate gate(supervisor.gate_word());
    while (inbox.next(supervisor, &pair)) {
        if (!gate.begin(pair.number))
            continue;  // taken back: another reader has it
        if (unconfined != platform::Unconfined::no) {
            if (!send_unconfined(supervisor, pair.number, unconfined))
                return;
            continue;
        }
        bool sent = false, answered = true;
        const PictureSink hand_over = [&](const Extraction &extraction, const unsigned char *picture, std::size_t size) {
            answered = send_outcome(supervisor, pair.number, extraction, picture, size);
            sent = true;
        };
        const Extraction extraction = retrieve_album_art(pair.uri.c_str(), pair.filename.c_str(), hand_over);
        if (!sent)
            answered = send_outcome(supervisor, pair.number, extraction);
        if (!answered)
            return;
    }
}
