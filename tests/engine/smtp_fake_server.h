// A scripted SMTP server on the loopback interface for protocol corner cases that
// a real server will not produce on demand: refusals at any step, silence,
// multi-line replies, a dropped connection.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kal::test {

class TFakeSmtpServer {
public:
    // Replies by the first word of the client's line, upper-cased ("EHLO", "MAIL").
    // Lines of a reply are separated by "\r\n". Special keys: "GREETING",
    // "AUTH-USER" and "AUTH-PASSWORD" (the answers to the two base64 lines) and
    // "." (the end of the data). Special replies: Silent and Hangup.
    using TScript = std::map<std::string, std::string>;
    static inline const std::string Silent = "<silent>";
    static inline const std::string Hangup = "<hangup>";

    // Listens on 127.0.0.1, or ::1 when ipv6; serves one connection.
    explicit TFakeSmtpServer(TScript script, bool ipv6 = false);
    ~TFakeSmtpServer();
    TFakeSmtpServer(const TFakeSmtpServer&) = delete;
    TFakeSmtpServer& operator=(const TFakeSmtpServer&) = delete;

    bool Listening() const { return FListener != Invalid; }
    std::uint16_t Port() const { return FPort; }

    // Waits until the client has gone, then gives what it sent: every line
    // outside the data, and the data as it came over the wire (still dot-stuffed,
    // up to and including the final ".\r\n").
    struct TRecord {
        std::vector<std::string> Lines;
        std::string Data;
    };
    TRecord Finish();

private:
    static constexpr std::uintptr_t Invalid = ~std::uintptr_t{0};
    void Serve();
    std::string ReplyFor(const std::string& key) const;

    TScript FScript;
    std::uintptr_t FListener = Invalid;
    std::uint16_t FPort = 0;
    std::thread FThread;
    TRecord FRecord;
};

// A loopback port nobody listens on (bound once, then released).
std::uint16_t UnusedLoopbackPort();

} // namespace kal::test
