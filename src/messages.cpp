// The messages between the supervisor and its readers.
#include "messages.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t header_size = 1 + sizeof(std::uint64_t);
// A payload above this size is received into a string of its own rather than staged and copied.
constexpr std::size_t staged_at_most = Outbox::largest_gathered;
// What is set aside at once for a large payload; the rest grows as it comes, so that a broken reader's
// claims cost nothing.
constexpr std::uint64_t reserved_at_most = 64 * 1024 * 1024;
// Beyond any picture that a container can hold; a reader that announces more is broken.
constexpr std::uint64_t largest_payload = std::uint64_t(1) << 32;

bool is_kind(char byte)
{
    for (MessageKind kind : {MessageKind::pair, MessageKind::line, MessageKind::picture, MessageKind::source_picture,
                             MessageKind::end}) {
        if (byte == static_cast<char>(kind))
            return true;
    }
    return false;
}

void encode_header(MessageKind kind, std::uint64_t size, char *header)
{
    header[0] = static_cast<char>(kind);
    std::memcpy(header + 1, &size, sizeof size);
}

bool decode_header(const char *header, MessageKind *kind, std::uint64_t *size)
{
    std::memcpy(size, header + 1, sizeof *size);
    *kind = static_cast<MessageKind>(header[0]);
    return is_kind(header[0]) && *size <= largest_payload;
}

}  // namespace

void Outbox::add(MessageKind kind, const char *payload, std::size_t size)
{
    const std::size_t at = gathered_.size();
    gathered_.resize(at + header_size);
    encode_header(kind, size, &gathered_[at]);
    if (size > 0)
        gathered_.append(payload, size);
}

bool Outbox::send(platform::Connection &to)
{
    const bool sent = gathered_.empty() || to.send(gathered_.data(), gathered_.size());
    gathered_.clear();
    return sent;
}

bool send_message(platform::Connection &to, MessageKind kind, const char *payload, std::size_t size)
{
    // A small message goes in one piece, so that the other end sees it whole at once.
    if (size <= Outbox::largest_gathered) {
        Outbox one;
        one.add(kind, payload, size);
        return one.send(to);
    }
    char header[header_size];
    encode_header(kind, size, header);
    return to.send(header, sizeof header) && to.send(payload, size);
}

long Inbox::receive(platform::Connection &from, bool wait)
{
    char buffer[16 * 1024];  // most reports whole, in few pages of stack: each costs a fault after a fork
    const long received = broken_ ? 0 : from.receive(buffer, sizeof buffer, wait);
    if (received > 0)
        absorb(buffer, static_cast<std::size_t>(received));
    return broken_ ? 0 : received;
}

void Inbox::absorb(const char *bytes, std::size_t size)
{
    if (large_) {
        const std::size_t used = static_cast<std::size_t>(
            std::min<std::uint64_t>(size, expected_ - message_.payload.size()));
        message_.payload.append(bytes, used);
        bytes += used;
        size -= used;
    }
    staged_.erase(0, taken_);  // what earlier messages used
    taken_ = 0;
    staged_.append(bytes, size);
}

bool Inbox::next(Message *message)
{
    if (large_) {
        if (message_.payload.size() < expected_)
            return false;
        large_ = false;
        *message = std::move(message_);
        message_ = Message();
        return true;
    }
    const std::size_t available = staged_.size() - taken_;
    std::uint64_t size = 0;
    MessageKind kind;
    if (available < header_size || broken_)
        return false;
    if (!decode_header(&staged_[taken_], &kind, &size)) {
        broken_ = true;
        return false;
    }
    if (available - header_size >= size) {
        message->kind = kind;
        message->payload.assign(staged_, taken_ + header_size, size);
        taken_ += header_size + size;
        return true;
    }
    if (size > staged_at_most) {  // the rest of it goes straight to its own string
        large_ = true;
        expected_ = size;
        message_.kind = kind;
        message_.payload.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size, reserved_at_most)));
        message_.payload.assign(staged_, taken_ + header_size, std::string::npos);
        staged_.clear();
        taken_ = 0;
    }
    return false;
}
