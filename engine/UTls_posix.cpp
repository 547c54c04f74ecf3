#include "UTls.h"
#include "UScoped.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <climits>

namespace kal {

namespace {

using TReason = ESocketError::TReason;

using unique_ssl_ctx = unique_handle<HandleTraits<SSL_CTX*, &SSL_CTX_free>>;
using unique_ssl = unique_handle<HandleTraits<SSL*, &SSL_free>>;
using unique_bio = unique_handle<HandleTraits<BIO*, &BIO_free>>;

[[noreturn]] void Fail(const std::string& reason) {
    throw ESocketError(TReason::Failed, reason);
}

std::string LastOpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "unknown TLS error";
}

} // namespace

// The engine's sockets carry deadlines, so OpenSSL works on memory buffers and
// this class moves the bytes: every wait then ends at the caller's deadline.
struct TTlsChannel::TImpl {
    TImpl(TSocket& socket, const std::string& host) : Socket(socket), Host(host) {
        Context.reset(SSL_CTX_new(TLS_client_method()));
        if (!Context)
            Fail("cannot set up TLS: " + LastOpenSslError());
        SSL_CTX_set_min_proto_version(Context.get(), TLS1_2_VERSION);
        SSL_CTX_set_verify(Context.get(), SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_set_default_verify_paths(Context.get()) != 1)
            Fail("cannot read the trusted certificates: " + LastOpenSslError());
        Ssl.reset(SSL_new(Context.get()));
        unique_bio in(BIO_new(BIO_s_mem()));
        unique_bio out(BIO_new(BIO_s_mem()));
        if (!Ssl || !in || !out)
            Fail("cannot set up TLS: " + LastOpenSslError());
        In = in.get();
        Out = out.get();
        SSL_set_bio(Ssl.get(), in.release(), out.release()); // Ssl owns both from here
        // An address literal is matched against the certificate's IP entries,
        // a name against its DNS entries (and sent as SNI).
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Ssl.get()), host.c_str()) != 1 &&
            (SSL_set1_host(Ssl.get(), host.c_str()) != 1 ||
             SSL_set_tlsext_host_name(Ssl.get(), host.c_str()) != 1))
            Fail("cannot set up TLS for \"" + host + "\"");
        SSL_set_connect_state(Ssl.get());
    }

    void Flush(TDeadline deadline) {
        char buffer[16384];
        for (int got; (got = BIO_read(Out, buffer, sizeof buffer)) > 0;)
            Socket.Send(std::string_view(buffer, static_cast<std::size_t>(got)), deadline);
    }

    // Runs an OpenSSL call until it gets somewhere; 0 when the peer closed.
    template <class TCall> int Drive(TCall call, TDeadline deadline, bool handshake) {
        for (;;) {
            ERR_clear_error();
            const int result = call();
            const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(Ssl.get(), result);
            Flush(deadline);
            if (error == SSL_ERROR_NONE)
                return result;
            if (error == SSL_ERROR_ZERO_RETURN)
                return 0;
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                Fail(handshake ? HandshakeFailure() : "TLS error: " + LastOpenSslError());
            char buffer[16384];
            const std::size_t got = Socket.Receive(buffer, sizeof buffer, deadline);
            if (got == 0) {
                if (!handshake)
                    return 0;
                throw ESocketError(TReason::Closed,
                                   "connection closed by the server during the TLS handshake");
            }
            if (!Answered)
                detail::CheckTlsRecordStart(buffer[0]);
            Answered = true;
            BIO_write(In, buffer, static_cast<int>(got));
        }
    }

    std::string HandshakeFailure() const {
        const long verdict = SSL_get_verify_result(Ssl.get());
        switch (verdict) {
        case X509_V_OK:
            return "TLS handshake failed: " + LastOpenSslError();
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return detail::CertificateNameMismatch(Host);
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return detail::CertificateExpired;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return detail::CertificateUntrusted;
        default:
            return std::string("the server's certificate was refused: ") +
                   X509_verify_cert_error_string(verdict);
        }
    }

    TSocket& Socket;
    std::string Host;
    unique_ssl_ctx Context;
    unique_ssl Ssl;        // after Context: it ends first
    bool Answered = false; // the server has sent its first bytes
    BIO* In = nullptr;     // owned by Ssl
    BIO* Out = nullptr;    // owned by Ssl
};

TTlsChannel::TTlsChannel(TSocket& socket, const std::string& host, TDeadline deadline)
    : FImpl(std::make_unique<TImpl>(socket, host)) {
    FImpl->Drive([this] { return SSL_do_handshake(FImpl->Ssl.get()); }, deadline, true);
}

TTlsChannel::~TTlsChannel() = default;

void TTlsChannel::Send(std::string_view data, TDeadline deadline) {
    while (!data.empty()) {
        const int chunk = data.size() > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(data.size());
        const int sent = FImpl->Drive(
            [&] { return SSL_write(FImpl->Ssl.get(), data.data(), chunk); }, deadline, false);
        if (sent == 0)
            throw ESocketError(TReason::Closed, "connection closed by the server");
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::size_t TTlsChannel::Receive(char* buffer, std::size_t size, TDeadline deadline) {
    const int wanted = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    return static_cast<std::size_t>(
        FImpl->Drive([&] { return SSL_read(FImpl->Ssl.get(), buffer, wanted); }, deadline, false));
}

} // namespace kal
