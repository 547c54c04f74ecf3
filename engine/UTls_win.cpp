#include "UTls.h"
#include "UText.h"

// Before the first Windows header, which brings wincrypt.h in with it.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS // for dwUrlRetrievalTimeout
#define SCHANNEL_USE_BLACKLISTS          // for SCH_CREDENTIALS (TLS 1.3)
#include "UScoped.h"

#include <subauth.h>

#include <schannel.h>

#include <cstdio>
#include <utility>
#include <vector>

namespace kal {

namespace {

using TReason = ESocketError::TReason;

std::string StatusText(long status) {
    const std::string text = detail::SystemMessage(static_cast<unsigned long>(status));
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    return text.empty() ? std::string(code) : text + " (" + code + ")";
}

[[noreturn]] void Fail(const std::string& reason) {
    throw ESocketError(TReason::Failed, reason);
}

// Whether the certificate lists `address` (IpAddressBytes) among its IP entries.
// Only those prove an address literal: a DNS entry or common name that reads
// "127.0.0.1" proves nothing (Wine's policy check takes them all the same).
bool NamesAddress(PCCERT_CONTEXT certificate, std::string_view address) {
    const CERT_INFO& info = *certificate->pCertInfo;
    const PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (extension == nullptr ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size))
        return false;
    const unique_hlocal owner(names);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            std::string_view(reinterpret_cast<const char*>(entry.IPAddress.pbData),
                             entry.IPAddress.cbData) == address)
            return true;
    }
    return false;
}

// The chain to a root in the Windows trust store, and the name, by the rules
// Windows applies to any TLS server (CERT_CHAIN_POLICY_SSL); an address literal
// by the certificate's IP entries alone.
void VerifyServer(PCCERT_CONTEXT certificate, const std::string& host, TDeadline deadline) {
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // Windows may fetch a missing intermediate certificate from the network.
    const int left = detail::RemainingMs(deadline);
    chainPara.dwUrlRetrievalTimeout = static_cast<DWORD>(left > 0 ? left : 1);
    unique_cert_chain chain;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                 0, nullptr, chain.put()))
        Fail("cannot check the server's certificate: " +
             StatusText(static_cast<long>(GetLastError())));
    std::wstring name = Utf8ToWide(host);
    const std::string address = detail::IpAddressBytes(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = address.empty() ? name.data() : nullptr; // no name: no name check
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    const BOOL checked =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status);
    const DWORD trust = chain.get()->TrustStatus.dwErrorStatus &
                        ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (!checked)
        Fail("cannot check the server's certificate: " +
             StatusText(static_cast<long>(GetLastError())));
    switch (static_cast<HRESULT>(status.dwError)) {
    case S_OK:
        break;
    case CERT_E_CN_NO_MATCH:
        Fail(detail::CertificateNameMismatch(host));
    case CERT_E_EXPIRED:
        Fail(detail::CertificateExpired);
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case TRUST_E_CERT_SIGNATURE:
        Fail(detail::CertificateUntrusted);
    default:
        Fail("the server's certificate was refused: " +
             StatusText(static_cast<long>(status.dwError)));
    }
    // Then the chain's own status: Wine's SSL policy lets a chain that ends at an
    // unknown issuer pass; Windows reaches the same verdict either way.
    if (trust != CERT_TRUST_NO_ERROR) {
        if (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                     CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC))
            Fail(detail::CertificateUntrusted);
        if (trust & CERT_TRUST_IS_NOT_TIME_VALID)
            Fail(detail::CertificateExpired);
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(trust));
        Fail(std::string("the server's certificate was refused (chain status ") + code + ")");
    }
    if (!address.empty() && !NamesAddress(certificate, address))
        Fail(detail::CertificateNameMismatch(host));
}

} // namespace

// Schannel works on buffers; the bytes travel through the engine's socket, so
// every wait, the handshake's included, ends at the caller's deadline.
struct TTlsChannel::TImpl {
    TImpl(TSocket& socket, const std::string& host) : Socket(socket), Host(host) {}

    static constexpr unsigned long RequestFlags =
        ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

    // TLS 1.3 needs SCH_CREDENTIALS (Windows 10 1809 on; TLS 1.3 itself from
    // Windows 11 and Server 2022). A system that refuses it gets SCHANNEL_CRED
    // and TLS 1.2.
    void AcquireCredentials() {
        // Validated by hand after the handshake, so a failure can say why.
        const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        TLS_PARAMETERS versions{};
        versions.grbitDisabledProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                          SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
        SCH_CREDENTIALS current{};
        current.dwVersion = SCH_CREDENTIALS_VERSION;
        current.dwFlags = flags;
        current.cTlsParameters = 1;
        current.pTlsParameters = &versions;
        if (Acquire(&current) == SEC_E_OK)
            return;
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        older.dwFlags = flags;
        const SECURITY_STATUS status = Acquire(&older);
        if (status != SEC_E_OK)
            Fail("cannot set up TLS: " + StatusText(status));
    }

    SECURITY_STATUS Acquire(void* credentials) {
        return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                         SECPKG_CRED_OUTBOUND, nullptr, credentials, nullptr,
                                         nullptr, Credentials.put(), nullptr);
    }

    // A failed handshake in words: a protocol mismatch (or a server that hangs
    // up on our hello) says what this end may lack. Windows 10 takes
    // SCH_CREDENTIALS yet has no TLS 1.3, so the hint cannot be surer.
    static std::string VersionHint() {
        return "; the server may require a TLS version or cipher that this computer lacks "
               "(TLS 1.3 needs Windows 11 or Windows Server 2022)";
    }
    [[noreturn]] static void HandshakeFailed(SECURITY_STATUS status) {
        std::string reason = "TLS handshake failed: " + StatusText(status);
        if (status == SEC_E_ALGORITHM_MISMATCH || status == SEC_E_UNSUPPORTED_FUNCTION ||
            status == SEC_E_INTERNAL_ERROR || status == SEC_E_ILLEGAL_MESSAGE)
            reason += VersionHint();
        Fail(reason);
    }

    // Sends a token Schannel produced (its owner frees it).
    void SendToken(const unique_context_buffer& token, unsigned long size, TDeadline deadline) {
        if (token)
            Socket.Send(std::string_view(static_cast<const char*>(token.get()), size), deadline);
    }

    // False when the server closed the connection.
    bool ReceiveMore(TDeadline deadline) {
        char buffer[16384];
        const std::size_t got = Socket.Receive(buffer, sizeof buffer, deadline);
        Incoming.append(buffer, got);
        return got > 0;
    }

    // The SNI name; an address literal is never one (RFC 6066), so it goes without.
    wchar_t* Target() { return detail::IpAddressBytes(Host).empty() ? TargetName.data() : nullptr; }

    void Handshake(TDeadline deadline) {
        AcquireCredentials();
        TargetName = Utf8ToWide(Host);
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
        unsigned long attributes = 0;
        CredHandle credentials = Credentials.get();
        SECURITY_STATUS status =
            InitializeSecurityContextW(&credentials, nullptr, Target(), RequestFlags, 0, 0, nullptr,
                                       0, Context.put(), &outDesc, &attributes, nullptr);
        const unique_context_buffer hello(out.pvBuffer);
        if (status != SEC_I_CONTINUE_NEEDED)
            HandshakeFailed(status);
        SendToken(hello, out.cbBuffer, deadline);
        Negotiate(deadline);

        CtxtHandle context = Context.get();
        unique_cert_context certificate;
        status =
            QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, certificate.put());
        if (status != SEC_E_OK || !certificate)
            Fail("the server sent no certificate");
        VerifyServer(certificate.get(), Host, deadline);
        status = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &Sizes);
        if (status != SEC_E_OK)
            Fail("TLS handshake failed: " + StatusText(status));
    }

    // Runs the handshake's exchange from the bytes in Incoming until Schannel is
    // done: the first handshake, and the messages that come after it (TLS 1.3
    // tickets and key updates, a TLS 1.2 renegotiation).
    void Negotiate(TDeadline deadline) {
        CredHandle credentials = Credentials.get();
        bool needMore = Incoming.empty();
        bool certificateAsked = false;
        for (;;) {
            // Schannel may ask again without reading: the deadline still holds.
            if (detail::RemainingMs(deadline) == 0)
                throw ESocketError(TReason::Timeout, "TLS handshake timed out");
            const bool first = Incoming.empty() && !Answered;
            if (needMore && !ReceiveMore(deadline))
                throw ESocketError(TReason::Closed,
                                   "connection closed by the server during the TLS handshake" +
                                       VersionHint());
            if (first) {
                detail::CheckTlsRecordStart(Incoming.front());
                Answered = true;
            }
            SecBuffer in[2] = {
                {static_cast<unsigned long>(Incoming.size()), SECBUFFER_TOKEN, Incoming.data()},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
            SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
            unsigned long attributes = 0;
            CtxtHandle context = Context.get();
            const SECURITY_STATUS status =
                InitializeSecurityContextW(&credentials, &context, Target(), RequestFlags, 0, 0,
                                           &inDesc, 0, nullptr, &outDesc, &attributes, nullptr);
            const unique_context_buffer token(out.pvBuffer);
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                needMore = true;
                continue;
            }
            SendToken(token, out.cbBuffer, deadline);
            if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
                // The server would like a client certificate and we have none:
                // asked again with the same bytes, Schannel goes on without.
                if (std::exchange(certificateAsked, true))
                    Fail("TLS handshake failed: the server demands a client certificate");
                needMore = false;
                continue;
            }
            if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
                HandshakeFailed(status);
            if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0)
                Incoming.erase(0, Incoming.size() - in[1].cbBuffer);
            else
                Incoming.clear();
            if (status == SEC_E_OK)
                return;
            needMore = Incoming.empty();
        }
    }

    TSocket& Socket;
    std::string Host;
    std::wstring TargetName;
    // SSPI takes these through pointers to non-const though it only reads them:
    // the calls get a copy of the handle, and the owner keeps it.
    unique_credentials Credentials;
    unique_security_context Context; // after Credentials: it ends first
    SecPkgContext_StreamSizes Sizes{};
    std::string Incoming;  // received, not yet decrypted
    std::string Plain;     // decrypted, not yet handed out
    bool Ended = false;    // the server closed the channel
    bool Answered = false; // the server has sent its first bytes
};

TTlsChannel::TTlsChannel(TSocket& socket, const std::string& host, TDeadline deadline)
    : FImpl(std::make_unique<TImpl>(socket, host)) {
    FImpl->Handshake(deadline);
}

TTlsChannel::~TTlsChannel() = default;

void TTlsChannel::Send(std::string_view data, TDeadline deadline) {
    const SecPkgContext_StreamSizes& sizes = FImpl->Sizes;
    std::vector<char> record;
    while (!data.empty()) {
        const std::size_t chunk = std::min<std::size_t>(data.size(), sizes.cbMaximumMessage);
        record.resize(sizes.cbHeader + chunk + sizes.cbTrailer);
        std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(chunk),
                  record.begin() + sizes.cbHeader);
        SecBuffer buffers[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record.data() + sizes.cbHeader},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + chunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        CtxtHandle context = FImpl->Context.get();
        const SECURITY_STATUS status = EncryptMessage(&context, 0, &desc, 0);
        if (status != SEC_E_OK)
            Fail("TLS error: " + StatusText(status));
        FImpl->Socket.Send(
            std::string_view(record.data(),
                             buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer),
            deadline);
        data.remove_prefix(chunk);
    }
}

std::size_t TTlsChannel::Receive(char* buffer, std::size_t size, TDeadline deadline) {
    TImpl& tls = *FImpl;
    while (tls.Plain.empty() && !tls.Ended) {
        detail::CheckDeadline(deadline);
        if (tls.Incoming.empty() && !tls.ReceiveMore(deadline))
            break;
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(tls.Incoming.size()), SECBUFFER_DATA, tls.Incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        CtxtHandle context = tls.Context.get();
        const SECURITY_STATUS status = DecryptMessage(&context, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!tls.ReceiveMore(deadline))
                break;
            continue;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) {
            tls.Ended = true;
            break;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
            Fail("TLS error: " + StatusText(status));
        // The buffers point into Incoming, decrypted in place: copy out first.
        std::string extra;
        for (const SecBuffer& part : buffers) {
            if (part.BufferType == SECBUFFER_DATA && part.pvBuffer != nullptr)
                tls.Plain.append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
            else if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer > 0)
                extra.assign(tls.Incoming, tls.Incoming.size() - part.cbBuffer, part.cbBuffer);
        }
        tls.Incoming = std::move(extra);
        // TLS 1.3's tickets and key updates, or a TLS 1.2 renegotiation: the
        // handshake takes the bytes from there on.
        if (status == SEC_I_RENEGOTIATE)
            tls.Negotiate(deadline);
    }
    const std::size_t count = std::min(size, tls.Plain.size());
    std::copy(tls.Plain.begin(), tls.Plain.begin() + static_cast<std::ptrdiff_t>(count), buffer);
    tls.Plain.erase(0, count);
    return count;
}

} // namespace kal
