#pragma once
// What the service and its extractor (zdx-extract) say to each other over their socket: one
// message is a 64-bit length and that many bytes; a message holds length-prefixed strings.
//   request:  "extract" or "name", the file's name, its bytes
//   response: "ok" or "failed", format, title, author, text, date (decimal), reason
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <time.h>
#include <vector>

namespace zdxserver::wire {

// The extractor's descriptor for its end of the socket.
inline constexpr int kExtractorFd = 3;

inline void Put(std::string& out, std::string_view text) {
    const std::uint64_t size = text.size();
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out.append(text);
}

inline std::optional<std::vector<std::string>> Split(std::string_view message) {
    std::vector<std::string> fields;
    while (!message.empty()) {
        std::uint64_t size = 0;
        if (message.size() < sizeof size)
            return std::nullopt;
        std::memcpy(&size, message.data(), sizeof size);
        message.remove_prefix(sizeof size);
        if (size > message.size())
            return std::nullopt;
        fields.emplace_back(message.substr(0, size));
        message.remove_prefix(size);
    }
    return fields;
}

inline std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `fd` is ready for `events` or the deadline (monotonic ms, -1: none) passes.
inline bool Wait(int fd, short events, std::int64_t deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const std::int64_t left = deadline < 0 ? -1 : deadline - NowMs();
        if (deadline >= 0 && left <= 0)
            return false;
        const int n =
            poll(&p, 1, static_cast<int>(left < 0 ? -1 : std::min<std::int64_t>(left, 60000)));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// Moves `size` bytes with `step` (a send or a receive of what is left after `done` bytes)
// whenever `fd` is ready for `events`; false when the other side has gone or the deadline passed.
template <class Step>
bool Transfer(int fd, short events, std::int64_t deadline, std::size_t size, Step step) {
    for (std::size_t done = 0; done < size;) {
        if (!Wait(fd, events, deadline))
            return false;
        const ssize_t n = step(done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Sends a whole message; false when the other side has gone or the deadline passed.
inline bool Send(int fd, std::string_view payload, std::int64_t deadline) {
    std::string framed;
    Put(framed, payload); // a message is framed as a field is
    return Transfer(fd, POLLOUT, deadline, framed.size(), [&](std::size_t done) {
        return send(fd, framed.data() + done, framed.size() - done, MSG_NOSIGNAL);
    });
}

// Reads one message of at most `limit` bytes; nothing at the end of the stream, after an
// error or past the deadline.
inline std::optional<std::string> Receive(int fd, std::size_t limit, std::int64_t deadline) {
    auto readAll = [&](char* into, std::size_t size) {
        return Transfer(fd, POLLIN, deadline, size,
                        [&](std::size_t done) { return recv(fd, into + done, size - done, 0); });
    };
    std::uint64_t size = 0;
    if (!readAll(reinterpret_cast<char*>(&size), sizeof size) || size > limit)
        return std::nullopt;
    std::string payload(size, '\0');
    if (!readAll(payload.data(), payload.size()))
        return std::nullopt;
    return payload;
}

} // namespace zdxserver::wire
