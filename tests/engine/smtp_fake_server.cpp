#include "smtp_fake_server.h"

#include <cctype>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kal::test {

namespace {

#ifdef _WIN32
using TRaw = SOCKET;
using TLength = int;
void CloseRaw(TRaw s) {
    closesocket(s);
}
void StartNetwork() {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    (void)started;
}
#else
using TRaw = int;
using TLength = socklen_t;
void CloseRaw(TRaw s) {
    ::close(s);
}
void StartNetwork() {}
#endif

TRaw Raw(std::uintptr_t handle) {
    return static_cast<TRaw>(handle);
}

// No test waits on a vanished client for longer than this.
constexpr int IdleLimitMs = 10000;

bool Readable(TRaw s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return ::select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &limit) > 0;
}

const TFakeSmtpServer::TScript DefaultReplies = {
    {"GREETING", "220 fake.test ESMTP"},
    {"EHLO", "250-fake.test\r\n250 AUTH LOGIN"},
    {"HELO", "250 fake.test"},
    {"AUTH", "334 VXNlcm5hbWU6"},
    {"AUTH-USER", "334 UGFzc3dvcmQ6"},
    {"AUTH-PASSWORD", "235 2.7.0 Authentication successful"},
    {"MAIL", "250 2.1.0 Ok"},
    {"RCPT", "250 2.1.5 Ok"},
    {"DATA", "354 End data with <CR><LF>.<CR><LF>"},
    {".", "250 2.0.0 Ok: queued"},
    {"QUIT", "221 2.0.0 Bye"},
};

std::string FirstWordUpper(const std::string& line) {
    std::string word;
    for (const char c : line) {
        if (c == ' ')
            break;
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return word;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

TFakeSmtpServer::TFakeSmtpServer(TScript script, bool ipv6) : FScript(std::move(script)) {
    StartNetwork();
    const TRaw listener = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (listener == static_cast<TRaw>(Invalid))
        return;
    sockaddr_storage address{};
    TLength length = 0;
    if (ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    }
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseRaw(listener);
        return;
    }
    FPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    FListener = static_cast<std::uintptr_t>(listener);
    FThread = std::thread([this] { Serve(); });
}

TFakeSmtpServer::~TFakeSmtpServer() {
    if (FThread.joinable())
        FThread.join();
    if (FListener != Invalid)
        CloseRaw(Raw(FListener));
}

TFakeSmtpServer::TRecord TFakeSmtpServer::Finish() {
    if (FThread.joinable())
        FThread.join();
    return FRecord;
}

std::string TFakeSmtpServer::ReplyFor(const std::string& key) const {
    if (const auto found = FScript.find(key); found != FScript.end())
        return found->second;
    if (const auto found = DefaultReplies.find(key); found != DefaultReplies.end())
        return found->second;
    return "500 5.5.2 Error: command not recognized";
}

void TFakeSmtpServer::Serve() {
    if (!Readable(Raw(FListener), IdleLimitMs))
        return;
    const TRaw client = ::accept(Raw(FListener), nullptr, nullptr);
    if (client == static_cast<TRaw>(Invalid))
        return;
    const auto reply = [&](const std::string& text) {
        if (text == Hangup)
            return false;
        if (text != Silent) {
            const std::string wire = text + "\r\n";
            ::send(client, wire.data(), static_cast<int>(wire.size()), 0);
        }
        return true;
    };
    enum class TState { Command, User, Password, Data } state = TState::Command;
    std::string pending;
    bool open = reply(ReplyFor("GREETING"));
    while (open) {
        const auto end = pending.find('\n');
        if (end == std::string::npos) {
            char buffer[4096];
            if (!Readable(client, IdleLimitMs))
                break;
            const int got = static_cast<int>(::recv(client, buffer, sizeof buffer, 0));
            if (got <= 0)
                break;
            pending.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        std::string line = pending.substr(0, end + 1);
        pending.erase(0, end + 1);
        if (state == TState::Data) {
            FRecord.Data += line;
            if (line == ".\r\n") {
                state = TState::Command;
                open = reply(ReplyFor("."));
            }
            continue;
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        FRecord.Lines.push_back(line);
        const std::string key = state == TState::User       ? "AUTH-USER"
                                : state == TState::Password ? "AUTH-PASSWORD"
                                                            : FirstWordUpper(line);
        const std::string answer = ReplyFor(key);
        if (state == TState::User)
            state = StartsWith(answer, "334") ? TState::Password : TState::Command;
        else if (state == TState::Password)
            state = TState::Command;
        else if (key == "AUTH" && StartsWith(answer, "334"))
            state = TState::User;
        else if (key == "DATA" && StartsWith(answer, "354"))
            state = TState::Data;
        open = reply(answer) && key != "QUIT";
    }
    CloseRaw(client);
}

std::uint16_t UnusedLoopbackPort() {
    StartNetwork();
    const TRaw probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    TLength length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    CloseRaw(probe);
    return port;
}

} // namespace kal::test
