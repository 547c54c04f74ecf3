#include "USocket.h"
#include "UScoped.h"

#include <cctype>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kal {

namespace {

using TReason = ESocketError::TReason;

std::string ErrorText(int code) {
    std::string text = std::system_category().message(code);
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

[[noreturn]] void Fail(int code) {
    const bool closed = code == ECONNRESET || code == EPIPE || code == ECONNABORTED;
    throw ESocketError(closed ? TReason::Closed : TReason::Failed, ErrorText(code));
}

// False when the deadline came first.
bool WaitFor(int fd, short events, TDeadline deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, detail::RemainingMs(deadline));
        if (ready > 0)
            return true;
        if (ready == 0) {
            if (detail::RemainingMs(deadline) == 0)
                return false;
            continue;
        }
        if (errno != EINTR)
            Fail(errno);
    }
}

int Fd(std::uintptr_t handle) {
    return static_cast<int>(handle);
}

} // namespace

void TSocket::Close() noexcept {
    if (FHandle != InvalidHandle)
        ::close(Fd(FHandle));
    FHandle = InvalidHandle;
}

TSocket TSocket::Connect(const std::string& host, std::uint16_t port, TDeadline deadline) {
    std::string lastError = "no usable address";
    for (const detail::TSocketAddress& address : detail::ResolveHostWithin(host, port, deadline)) {
        const int fd = ::socket(address.Family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastError = ErrorText(errno);
            continue;
        }
        TSocket socket(static_cast<std::uintptr_t>(fd));
        const auto* target = reinterpret_cast<const sockaddr*>(address.Bytes.data());
        if (::connect(fd, target, static_cast<socklen_t>(address.Length)) == 0)
            return socket;
        if (errno != EINPROGRESS && errno != EINTR) {
            lastError = ErrorText(errno);
            continue;
        }
        if (!WaitFor(fd, POLLOUT, deadline))
            throw ESocketError(TReason::Timeout, "connection timed out");
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0)
            return socket;
        lastError = ErrorText(error);
    }
    throw ESocketError(TReason::Failed, lastError);
}

void TSocket::Send(std::string_view data, TDeadline deadline) {
    while (!data.empty()) {
        // MSG_NOSIGNAL: a server that hung up must give an error, not SIGPIPE.
        const ssize_t sent = ::send(Fd(FHandle), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(Fd(FHandle), POLLOUT, deadline))
                throw ESocketError(TReason::Timeout, "send timed out");
        } else if (errno != EINTR) {
            Fail(errno);
        }
    }
}

std::size_t TSocket::Receive(char* buffer, std::size_t size, TDeadline deadline) {
    detail::CheckDeadline(deadline);
    for (;;) {
        const ssize_t got = ::recv(Fd(FHandle), buffer, size, 0);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(Fd(FHandle), POLLIN, deadline))
                throw ESocketError(TReason::Timeout, "receive timed out");
        } else if (errno != EINTR) {
            Fail(errno);
        }
    }
}

std::string TSocket::LocalAddress() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    char text[NI_MAXHOST] = {};
    if (::getsockname(Fd(FHandle), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&local), length, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return text;
}

namespace detail {

std::vector<TSocketAddress> ResolveHost(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    unique_addrinfo found;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, found.put());
    if (status != 0)
        throw ESocketError(TReason::Failed,
                           "cannot find \"" + host + "\" (" +
                               (status == EAI_SYSTEM ? ErrorText(errno) : ::gai_strerror(status)) +
                               ")");
    return CopyAddresses(found.get());
}

} // namespace detail

} // namespace kal
