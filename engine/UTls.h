// TLS for the report mail: an encrypted channel over a connected TSocket whose
// server has proved that it is the host the user named. Schannel on Windows,
// OpenSSL elsewhere; both check the chain against the system's trusted roots
// and the certificate's names against the host, and there is no way to skip it.
#pragma once

#include "USocket.h"

#include <memory>
#include <string>
#include <string_view>

namespace kal {

class TTlsChannel {
public:
    // Runs the handshake within the deadline. Raises ESocketError: Timeout or
    // Closed as the socket does, Failed with a reason such as "the server's
    // certificate is for another name than \"mail.example.com\"".
    TTlsChannel(TSocket& socket, const std::string& host, TDeadline deadline);
    ~TTlsChannel();
    TTlsChannel(const TTlsChannel&) = delete;
    TTlsChannel& operator=(const TTlsChannel&) = delete;

    void Send(std::string_view data, TDeadline deadline);
    // At least one byte; 0 once the peer has closed the channel.
    std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline);

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

namespace detail {

// The user's words for a failed certificate check, shared by both platforms.
inline std::string CertificateNameMismatch(const std::string& host) {
    return "the server's certificate is for another name than \"" + host + "\"";
}
inline const char* const CertificateUntrusted =
    "the server's certificate is not from a trusted certification authority";
inline const char* const CertificateExpired =
    "the server's certificate has expired or is not yet valid";

// A TLS server's first byte is a record type (20 to 24). Anything else, such as
// a plain SMTP greeting on a port taken for TLS, would leave the handshake
// waiting until the deadline for a record that never comes.
inline void CheckTlsRecordStart(char first) {
    const auto type = static_cast<unsigned char>(first);
    if (type < 20 || type > 24)
        throw ESocketError(ESocketError::TReason::Failed,
                           "TLS handshake failed: the server does not speak TLS on this port "
                           "from the first byte");
}

} // namespace detail

} // namespace kal
