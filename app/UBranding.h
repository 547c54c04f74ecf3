// Optional branding from Settings.ini: INI reading and the picture shown in the
// main window's top strip.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kal {

// An INI file read through the system's profile functions. Those read a file
// without a byte-order mark in the program's code page, UTF-8; a file written in
// the legacy ANSI code page is read from a UTF-16 copy instead, removed with this.
class TIniFile {
public:
    explicit TIniFile(const std::string& fileName);
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    std::string ReadString(const char* section, const char* key) const;
    // The entry names of a section in file order; of a line "name=value" only the
    // name, a line without "=" whole.
    std::vector<std::string> ReadSection(const char* section) const;

private:
    std::string FFileName; // the file the profile functions read
    bool FCopy = false;
};
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
