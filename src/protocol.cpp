#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace {

enum Kind : char { request_kind = 'R', outcome_kind = 'O' };
enum Flags : std::uint8_t { pushed_back_flag = 1, filename_read_flag = 2 };

constexpr std::size_t header_size = 1 + 2 * sizeof(std::uint64_t);
constexpr std::size_t outcome_header_size = header_size + 2;  // and the ending and the flags
// What a reader gathers into one send: most outcomes, so that each costs the supervisor one wake-up.
constexpr std::size_t gathered_at_most = 64 * 1024;

void put_number(std::uint64_t value, char *at)
{
    for (std::size_t i = 0; i < sizeof value; i++)
        at[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t get_number(const char *at)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof value; i++)
        value |= std::uint64_t(static_cast<unsigned char>(at[i])) << (8 * i);
    return value;
}

std::string header(Kind kind, std::uint64_t number, std::uint64_t size)
{
    std::string bytes(header_size, '\0');
    bytes[0] = kind;
    put_number(number, &bytes[1]);
    put_number(size, &bytes[1 + sizeof number]);
    return bytes;
}

bool is_ending(std::uint8_t byte) { return byte >= 1 && byte <= static_cast<std::uint8_t>(Ending::unconfined); }

bool is_layer(std::uint8_t byte) { return byte >= 1 && byte <= static_cast<std::uint8_t>(platform::Unconfined::seccomp); }

std::string outcome_header(std::uint64_t number, Ending ending, std::uint8_t flags, std::size_t size)
{
    std::string message = header(outcome_kind, number, size);
    message += static_cast<char>(ending);
    message += static_cast<char>(flags);
    return message;
}

}  // namespace

bool send_request(platform::Connection &reader, const PairRequest &request)
{
    std::string message = header(request_kind, request.number, request.uri.size() + 1 + request.filename.size());
    message += request.uri;
    message += '\0';
    message += request.filename;
    return reader.send(message.data(), message.size());
}

bool send_outcome(platform::Connection &supervisor, std::uint64_t number, const Extraction &extraction,
                  const unsigned char *picture, std::size_t size)
{
    std::string message = outcome_header(number, extraction.ending,
                                         (extraction.pushed_back ? pushed_back_flag : 0) |
                                             (extraction.filename_read ? filename_read_flag : 0),
                                         size);
    if (size <= gathered_at_most) {
        message.append(reinterpret_cast<const char *>(picture), size);
        return supervisor.send(message.data(), message.size());
    }
    return supervisor.send(message.data(), message.size()) && supervisor.send(picture, size);
}

bool send_unconfined(platform::Connection &supervisor, std::uint64_t number, platform::Unconfined layer)
{
    const std::string message = outcome_header(number, Ending::unconfined, static_cast<std::uint8_t>(layer), 0);
    return supervisor.send(message.data(), message.size());
}

bool RequestInbox::next(platform::Connection &supervisor, PairRequest *request)
{
    for (;;) {
        if (staged_.size() >= header_size) {
            const std::uint64_t size = get_number(&staged_[1 + sizeof(std::uint64_t)]);
            if (staged_[0] != request_kind)
                return false;
            if (staged_.size() - header_size >= size) {
                const std::size_t split = staged_.find('\0', header_size);
                if (split == std::string::npos || split >= header_size + size)
                    return false;
                request->number = get_number(&staged_[1]);
                request->uri = staged_.substr(header_size, split - header_size);
                request->filename = staged_.substr(split + 1, header_size + static_cast<std::size_t>(size) - split - 1);
                staged_.erase(0, header_size + static_cast<std::size_t>(size));
                return true;
            }
        }
        char buffer[16 * 1024];
        const long received = supervisor.receive(buffer, sizeof buffer, true);
        if (received <= 0)
            return false;
        staged_.append(buffer, static_cast<std::size_t>(received));
    }
}

long OutcomeInbox::receive(platform::Connection &reader)
{
    char buffer[16 * 1024];  // most outcomes whole, in few pages of stack
    const long received = reader.receive(buffer, sizeof buffer, false);
    if (received > 0)
        absorb(buffer, static_cast<std::size_t>(received));
    return received;
}

void OutcomeInbox::absorb(const char *bytes, std::size_t size)
{
    if (in_picture_ && staged_.empty()) {  // straight into the picture, which has its room already
        const std::size_t used =
            std::min(size, static_cast<std::size_t>(picture_size_) - outcome_.picture.size());
        outcome_.picture.append(bytes, used);
        bytes += used;
        size -= used;
    }
    staged_.append(bytes, size);
}

OutcomeInbox::Result OutcomeInbox::next(std::uint64_t expected, PairOutcome *outcome, std::string *why)
{
    if (!in_picture_) {
        if (staged_.size() < header_size)
            return Result::waiting;
        const std::uint64_t number = get_number(&staged_[1]), size = get_number(&staged_[1 + sizeof number]);
        if (staged_[0] != outcome_kind) {
            *why = "sent a message that no reader sends";
            return Result::fault;
        }
        if (number != expected) {
            answered_again_ = number < expected;
            *why = "answered pair " + std::to_string(number) +
                   (answered_again_ ? " a second time" : " while it was reading pair " + std::to_string(expected));
            return Result::fault;
        }
        if (size > largest_picture) {
            *why = "announced a picture of " + std::to_string(size) + " bytes";
            return Result::fault;
        }
        if (staged_.size() < outcome_header_size)
            return Result::waiting;
        const auto ending = static_cast<std::uint8_t>(staged_[header_size]);
        const auto flags = static_cast<std::uint8_t>(staged_[header_size + 1]);
        const bool unconfined = ending == static_cast<std::uint8_t>(Ending::unconfined);
        if (!is_ending(ending) || (unconfined ? !is_layer(flags) : (flags & ~(pushed_back_flag | filename_read_flag))) ||
            (ending == static_cast<std::uint8_t>(Ending::picture)) != (size > 0)) {
            *why = "sent an outcome that no reader gives";
            return Result::fault;
        }
        outcome_ = PairOutcome();
        outcome_.number = number;
        outcome_.extraction.ending = static_cast<Ending>(ending);
        if (unconfined) {
            outcome_.unconfined = static_cast<platform::Unconfined>(flags);
        } else {
            outcome_.extraction.pushed_back = flags & pushed_back_flag;
            outcome_.extraction.filename_read = flags & filename_read_flag;
        }
        outcome_.picture.reserve(static_cast<std::size_t>(size));  // checked above; pages come as bytes do
        picture_size_ = size;
        in_picture_ = true;
        const std::size_t part = std::min(staged_.size() - outcome_header_size, static_cast<std::size_t>(size));
        outcome_.picture.append(staged_, outcome_header_size, part);
        staged_.erase(0, outcome_header_size + part);
    }
    if (outcome_.picture.size() < picture_size_)
        return Result::waiting;
    in_picture_ = false;
    *outcome = std::move(outcome_);
    outcome_ = PairOutcome();
    return Result::outcome;
}
