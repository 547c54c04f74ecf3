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
    return std::string(ProtectedSecretMark) + Take(out);
}

std::string RevealSecret(const std::string& stored) {
    if (!IsProtectedSecret(stored))
        return stored;
    DATA_BLOB in = Blob(std::string_view(stored).substr(ProtectedSecretMark.size()));
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out))
        return {};
    return Take(out);
}

} // namespace kal
