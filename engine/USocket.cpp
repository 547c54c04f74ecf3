#include "USocket.h"

#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace kal {

TSocket::~TSocket() {
    Close();
}

TSocket::TSocket(TSocket&& other) noexcept : FHandle(other.FHandle) {
    other.FHandle = InvalidHandle;
}

TSocket& TSocket::operator=(TSocket&& other) noexcept {
    if (this != &other) {
        Close();
        FHandle = other.FHandle;
        other.FHandle = InvalidHandle;
    }
    return *this;
}

namespace detail {

int RemainingMs(TDeadline deadline) {
    using namespace std::chrono;
    const auto left = deadline - steady_clock::now();
    if (left <= steady_clock::duration::zero())
        return 0;
    const auto ms = ceil<milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

std::vector<TSocketAddress> ResolveHostWithin(const std::string& host, std::uint16_t port,
                                              TDeadline deadline) {
    // Neither getaddrinfo nor its Windows twin takes a time-out, and a dead DNS
    // server must not hold a finished backup open: the lookup runs on a thread of
    // its own that is abandoned at the deadline and cleans up after itself.
    struct TLookup {
        std::mutex Lock;
        std::condition_variable Done;
        bool Finished = false;
        std::vector<TSocketAddress> Addresses;
        std::string Error;
    };
    auto lookup = std::make_shared<TLookup>();
    std::thread([lookup, host, port] {
        std::vector<TSocketAddress> addresses;
        std::string error;
        try {
            addresses = ResolveHost(host, port);
        } catch (const std::exception& e) {
            error = e.what();
        }
        const std::lock_guard guard(lookup->Lock);
        lookup->Addresses = std::move(addresses);
        lookup->Error = std::move(error);
        lookup->Finished = true;
        lookup->Done.notify_all();
    }).detach();

    std::unique_lock guard(lookup->Lock);
    if (!lookup->Done.wait_until(guard, deadline, [&] { return lookup->Finished; }))
        throw ESocketError(ESocketError::TReason::Timeout, "no address for \"" + host + "\"");
    if (!lookup->Error.empty())
        throw ESocketError(ESocketError::TReason::Failed, lookup->Error);
    return std::move(lookup->Addresses);
}

} // namespace detail

} // namespace kal
