// The platform layer under the report mail: a TCP client socket whose every wait
// ends at a deadline.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kal {

using TDeadline = std::chrono::steady_clock::time_point;

class ESocketError : public std::runtime_error {
public:
    enum class TReason { Timeout, Closed, Failed };
    ESocketError(TReason reason, const std::string& text) : runtime_error(text), FReason(reason) {}
    TReason Reason() const noexcept { return FReason; }

private:
    TReason FReason;
};

class TSocket {
public:
    TSocket() = default;
    ~TSocket();
    TSocket(TSocket&& other) noexcept;
    TSocket& operator=(TSocket&& other) noexcept;
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    // Tries every address of the host in turn until one accepts.
    static TSocket Connect(const std::string& host, std::uint16_t port, TDeadline deadline);

    void Send(std::string_view data, TDeadline deadline);
    // At least one byte; 0 once the peer has closed its side.
    std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline);
    // Numeric form of the local end ("192.0.2.1", "::1"); empty when unknown.
    std::string LocalAddress() const;

private:
    static constexpr std::uintptr_t InvalidHandle = ~std::uintptr_t{0};
    explicit TSocket(std::uintptr_t handle) : FHandle(handle) {}
    void Close() noexcept;

    std::uintptr_t FHandle = InvalidHandle; // SOCKET or file descriptor
};

namespace detail {

struct TSocketAddress {
    std::array<unsigned char, 128> Bytes{}; // a sockaddr_storage
    int Length = 0;
    int Family = 0;
};

// The addresses of a getaddrinfo list, which both platforms shape alike.
template <class TAddrInfo> std::vector<TSocketAddress> CopyAddresses(const TAddrInfo* list) {
    std::vector<TSocketAddress> addresses;
    for (const TAddrInfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        TSocketAddress address;
        if (entry->ai_addrlen > address.Bytes.size())
            continue;
        std::memcpy(address.Bytes.data(), entry->ai_addr, entry->ai_addrlen);
        address.Length = static_cast<int>(entry->ai_addrlen);
        address.Family = entry->ai_family;
        addresses.push_back(address);
    }
    return addresses;
}

// The platform's resolver; may block for as long as the system's DNS takes.
std::vector<TSocketAddress> ResolveHost(const std::string& host, std::uint16_t port);
// The same, given up on at the deadline (the lookup then finishes unobserved).
std::vector<TSocketAddress> ResolveHostWithin(const std::string& host, std::uint16_t port,
                                              TDeadline deadline);
// Milliseconds left, rounded up, 0 when past.
int RemainingMs(TDeadline deadline);
// Raises the Timeout error once the deadline has passed: a loop that keeps
// getting bytes, or records that decrypt to nothing, never waits and so would
// never see it otherwise.
inline void CheckDeadline(TDeadline deadline) {
    if (RemainingMs(deadline) == 0)
        throw ESocketError(ESocketError::TReason::Timeout, "receive timed out");
}

#ifdef _WIN32
// The system's text for a Win32, Winsock or SSPI code, without its final full
// stop and line end ("System error N" when the system has none).
std::string SystemMessage(unsigned long code);
// The bytes of an IPv4 or IPv6 address literal (4 or 16, network order, a
// "%zone" ignored); empty for a name.
std::string IpAddressBytes(const std::string& host);
#endif

} // namespace detail

} // namespace kal
