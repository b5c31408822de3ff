// What the supervisor and its readers say to each other over a connection: a kind byte, the payload's
// length in eight bytes, then the payload.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum class MessageKind : char {
    pair = 'R',            // to a reader: whether its first line goes at once ('1' or '0'), uri NUL filename
    line = 'L',            // from a reader: a line of the pair's report, without its newline
    picture = 'P',         // from a reader: the picture, for filename
    source_picture = 'S',  // from a reader: the picture, when filename is a file that was read for the source
    end = 'E',             // from a reader: the pair is done; whether its server pushed back ('1' or '0')
};

struct Message {
    MessageKind kind = MessageKind::end;
    std::string payload;
};

bool send_message(platform::Connection &to, MessageKind kind, const char *payload, std::size_t size);

// Messages gathered to go in one piece, so that a pair's whole report costs its supervisor one wake-up.
class Outbox {
  public:
    // What a payload may hold to be gathered; larger ones are sent on their own, after what is gathered.
    static constexpr std::size_t largest_gathered = 64 * 1024;
    void add(MessageKind kind, const char *payload, std::size_t size);
    // Sends what is gathered, then forgets it.
    bool send(platform::Connection &to);

  private:
    std::string gathered_;
};

// Messages as they arrive.
class Inbox {
  public:
    // Takes what has arrived, waiting for something only when asked to: the number of bytes, -1 when none
    // has, 0 once the connection has ended or has carried something that is no message.
    long receive(platform::Connection &from, bool wait);
    // The next whole message, once it has arrived.
    bool next(Message *message);

  private:
    void absorb(const char *bytes, std::size_t size);

    std::string staged_;      // bytes not yet taken as messages
    std::size_t taken_ = 0;   // of staged_, what earlier messages used
    bool large_ = false;      // a payload too large to stage is being received into message_
    std::uint64_t expected_ = 0;
    Message message_;
    bool broken_ = false;
};
