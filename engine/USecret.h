// The mail password at rest: Data.dat keeps it encrypted for the current Windows
// user (DPAPI), in the same string record that once held it as plain text.
#pragma once

#include <string>
#include <string_view>

namespace kal {

// Starts a protected value. A typed password never holds a control character,
// so a value without it is plain text from an earlier version.
inline constexpr std::string_view ProtectedSecretMark = "\x01KalDPAPI\x01";

// The stored form of a secret; "" stays "". On Windows the mark and the DPAPI
// blob in base64 (only this user on this computer can open it); elsewhere, where only the
// tests run, the secret as it is. Raises std::runtime_error when Windows cannot
// protect it, so no password is ever written in clear by accident.
std::string ProtectSecret(const std::string& secret);

// The secret of a stored value: plain text as it is, a protected one opened.
// "" for a protected value that cannot be opened here (another user's or
// computer's): the server then refuses the login and says so.
std::string RevealSecret(const std::string& stored);

inline bool IsProtectedSecret(std::string_view stored) {
    return stored.substr(0, ProtectedSecretMark.size()) == ProtectedSecretMark;
}

// One secret as a file keeps it. DPAPI's output differs on every call, so the
// stored form is kept and written again while the secret is unchanged: a save
// without edits gives the same bytes.
class TSecretAtRest {
public:
    std::string Store(const std::string& secret) {
        if (!FKnown || secret != FSecret) {
            FStored = ProtectSecret(secret);
            FSecret = secret;
            FKnown = true;
        }
        return FStored;
    }
    std::string Reveal(const std::string& stored) {
        FSecret = RevealSecret(stored);
        FStored = stored;
        FKnown = IsProtectedSecret(stored) && !FSecret.empty(); // plain text: protect at save
        return FSecret;
    }

private:
    std::string FSecret;
    std::string FStored;
    bool FKnown = false;
};

} // namespace kal
