#include "USocket.h"
#include "UScoped.h"
#include "UText.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace kal {

namespace {

using TReason = ESocketError::TReason;

std::string ErrorText(int code) {
    switch (code) {
    case WSAECONNREFUSED:
        return "connection refused";
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return "connection closed by the server";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return "no route to the server";
    default:
        break;
    }
    return detail::SystemMessage(static_cast<unsigned long>(code));
}

[[noreturn]] void Fail(int code) {
    const bool closed = code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN;
    throw ESocketError(closed ? TReason::Closed : TReason::Failed, ErrorText(code));
}

// Winsock wants one WSAStartup before anything else; it is never undone, the
// process keeps it until it ends.
void EnsureWinsock() {
    static const int status = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (status != 0)
        throw ESocketError(TReason::Failed, ErrorText(status));
}

enum class TWait { Read, Write, Connect };

// False when the deadline came first. A failed connect shows in the except set.
bool WaitFor(SOCKET socket, TWait what, TDeadline deadline) {
    for (;;) {
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        if (what == TWait::Read)
            FD_SET(socket, &readable);
        else
            FD_SET(socket, &writable);
        if (what == TWait::Connect)
            FD_SET(socket, &failed);
        const int ms = detail::RemainingMs(deadline);
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        const int ready = select(0, &readable, &writable, &failed, &limit);
        if (ready > 0)
            return true;
        if (ready == SOCKET_ERROR)
            Fail(WSAGetLastError());
        if (detail::RemainingMs(deadline) == 0)
            return false;
    }
}

SOCKET Handle(std::uintptr_t handle) {
    return static_cast<SOCKET>(handle);
}

} // namespace

void TSocket::Close() noexcept {
    if (FHandle != InvalidHandle)
        closesocket(Handle(FHandle));
    FHandle = InvalidHandle;
}

TSocket TSocket::Connect(const std::string& host, std::uint16_t port, TDeadline deadline) {
    EnsureWinsock();
    std::string lastError = "no usable address";
    for (const detail::TSocketAddress& address : detail::ResolveHostWithin(host, port, deadline)) {
        const SOCKET handle = socket(address.Family, SOCK_STREAM, IPPROTO_TCP);
        if (handle == INVALID_SOCKET) {
            lastError = ErrorText(WSAGetLastError());
            continue;
        }
        TSocket result(static_cast<std::uintptr_t>(handle));
        // Sockets are inheritable by default; rsync children must not keep it open.
        SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
        u_long nonBlocking = 1;
        if (ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
            lastError = ErrorText(WSAGetLastError());
            continue;
        }
        const auto* target = reinterpret_cast<const sockaddr*>(address.Bytes.data());
        if (connect(handle, target, address.Length) == 0)
            return result;
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            lastError = ErrorText(error);
            continue;
        }
        if (!WaitFor(handle, TWait::Connect, deadline))
            throw ESocketError(TReason::Timeout, "connection timed out");
        int status = 0;
        int length = sizeof status;
        if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) !=
            0)
            status = WSAGetLastError();
        if (status == 0)
            return result;
        lastError = ErrorText(status);
    }
    throw ESocketError(TReason::Failed, lastError);
}

void TSocket::Send(std::string_view data, TDeadline deadline) {
    while (!data.empty()) {
        const int chunk = data.size() > 0x10000 ? 0x10000 : static_cast<int>(data.size());
        const int sent = send(Handle(FHandle), data.data(), chunk, 0);
        if (sent != SOCKET_ERROR) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            Fail(error);
        if (!WaitFor(Handle(FHandle), TWait::Write, deadline))
            throw ESocketError(TReason::Timeout, "send timed out");
    }
}

std::size_t TSocket::Receive(char* buffer, std::size_t size, TDeadline deadline) {
    detail::CheckDeadline(deadline);
    const int wanted = size > 0x10000 ? 0x10000 : static_cast<int>(size);
    for (;;) {
        const int got = recv(Handle(FHandle), buffer, wanted, 0);
        if (got != SOCKET_ERROR)
            return static_cast<std::size_t>(got);
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            Fail(error);
        if (!WaitFor(Handle(FHandle), TWait::Read, deadline))
            throw ESocketError(TReason::Timeout, "receive timed out");
    }
}

std::string TSocket::LocalAddress() const {
    sockaddr_storage local{};
    int length = sizeof local;
    char text[NI_MAXHOST] = {};
    if (getsockname(Handle(FHandle), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&local), length, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return {};
    return text;
}

namespace detail {

std::string SystemMessage(unsigned long code) {
    std::string result = SystemErrorText(static_cast<int>(code));
    while (!result.empty() && (result.back() == '.' || result.back() == ' '))
        result.pop_back();
    return result;
}

std::string IpAddressBytes(const std::string& host) {
    const std::string literal = host.substr(0, host.find('%'));
    in_addr v4{};
    if (InetPtonA(AF_INET, literal.c_str(), &v4) == 1)
        return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
    in6_addr v6{};
    if (InetPtonA(AF_INET6, literal.c_str(), &v6) == 1)
        return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
    return {};
}

std::vector<TSocketAddress> ResolveHost(const std::string& host, std::uint16_t port) {
    EnsureWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    unique_addrinfo found;
    const std::string service = std::to_string(port);
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, found.put());
    if (status != 0)
        throw ESocketError(TReason::Failed,
                           "cannot find \"" + host + "\" (" + ErrorText(status) + ")");
    return CopyAddresses(found.get());
}

} // namespace detail

} // namespace kal
