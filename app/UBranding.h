// Optional branding from Settings.ini: INI reading and the picture shown in the
// main window's top strip.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kal {

std::string ReadIniString(const std::string& file, const char* section, const char* key);
// The entry names of a section in file order; of a line "name=value" only the
// name, a line without "=" whole.
std::vector<std::string> ReadIniSection(const std::string& file, const char* section);
// Decimal, or hexadecimal with "0x"; anything else (missing, "yes") is 0.
long ParseIniInteger(const std::string& text);

// A picture file (bmp, ico, wmf, emf, jpg, jpeg) decoded by the system's OLE
// picture loader, which reads all six formats on every Windows version.
class TBrandingPicture {
public:
    // Throws std::runtime_error naming the file when it cannot be read or its
    // extension is not one of the six.
    explicit TBrandingPicture(const std::string& fileName);
    ~TBrandingPicture();
    TBrandingPicture(const TBrandingPicture&) = delete;
    TBrandingPicture& operator=(const TBrandingPicture&) = delete;

    SIZE PixelSize() const noexcept { return FSize; }
    // Centred in `box` at its own size, or stretched to the box.
    void Draw(HDC dc, const RECT& box, bool stretch) const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
    SIZE FSize{};
};

} // namespace kal
