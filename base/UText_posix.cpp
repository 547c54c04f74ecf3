#include "UText.h"

#include <iconv.h>

#include <cerrno>
#include <system_error>

namespace kal {

std::string SystemErrorText(int code) {
    // Unlike strerror, safe on any thread.
    return std::generic_category().message(code);
}

} // namespace kal

namespace kal::platform {

// Away from Windows there is no machine code page; the files this reads were
// written on Western systems, whose legacy code page is Windows-1252.
std::string LegacyToUtf8(std::string_view text) {
    const iconv_t cd = iconv_open("UTF-8", "WINDOWS-1252");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(text);
    std::string out(text.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<std::size_t>(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL)
            break;
        // The five bytes 1252 leaves undefined pass as U+FFFD.
        if (outLeft < 3)
            break;
        static constexpr char Replacement[] = "\xEF\xBF\xBD";
        for (char r : std::string_view(Replacement, 3))
            *to++ = r;
        outLeft -= 3;
        ++in;
        --inLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace kal::platform
