#include "USecret.h"
#include "UScoped.h"
#include "UText.h"

#include <windows.h>

#include <dpapi.h>

#include <stdexcept>

namespace kal {

namespace {

DATA_BLOB Blob(std::string_view bytes) {
    return {static_cast<DWORD>(bytes.size()),
            reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

// The bytes of a blob that DPAPI allocated, which is then wiped and freed.
std::string Take(DATA_BLOB& blob) {
    const unique_hlocal owner(blob.pbData);
    std::string bytes(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
    SecureZeroMemory(blob.pbData, blob.cbData);
    return bytes;
}

// Data.dat's strings are text (bytes that are no UTF-8 are read as the legacy
// code page), so the blob goes in base64.
std::string ToBase64(const std::string& bytes) {
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    DWORD size = 0;
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size))
        return {};
    std::string text(size, '\0');
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size))
        return {};
    text.resize(size);
    return text;
}

std::string FromBase64(std::string_view text) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr))
        return {};
    std::string bytes(size, '\0');
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr))
        return {};
    bytes.resize(size);
    return bytes;
}

} // namespace

std::string ProtectSecret(const std::string& secret) {
    if (secret.empty())
        return {};
    DATA_BLOB in = Blob(secret);
    DATA_BLOB out{};
    if (!CryptProtectData(&in, L"Kalvaren mail password", nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &out))
        throw std::runtime_error("Cannot protect the mail password: " +
                                 SystemErrorText(static_cast<int>(GetLastError())));
    const std::string text = ToBase64(Take(out));
    if (text.empty())
        throw std::runtime_error("Cannot protect the mail password: " +
                                 SystemErrorText(static_cast<int>(GetLastError())));
    return std::string(ProtectedSecretMark) + text;
}

std::string RevealSecret(const std::string& stored) {
    if (!IsProtectedSecret(stored))
        return stored;
    const std::string blob =
        FromBase64(std::string_view(stored).substr(ProtectedSecretMark.size()));
    DATA_BLOB in = Blob(blob);
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out))
        return {};
    return Take(out);
}

} // namespace kal
