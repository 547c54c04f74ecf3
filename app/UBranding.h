// Optional branding from Settings.ini: INI reading, what the file asks of the
// main window, and the icon and picture files it names.
#pragma once

#include "UScoped.h"

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

// What Settings.ini asks of the main window; an empty value asks nothing.
struct TBranding {
    std::string SubTitle;     // the caption becomes "<title> - <SubTitle>"
    std::string SupportURL;   // enables "Online Support", which opens it
    std::string SupportTitle; // that item's caption; set only with a SupportURL
    std::string IconFile;     // the window's own icon
    std::string ImageFile;    // the picture of the top strip
    bool Stretch = false;     // that picture stretched to its box; set only with an ImageFile
    std::string DisplayText;  // the entry names of section Text, each followed by CR LF
};
// Absent keys read as empty; the icon and picture files are loaded apart.
TBranding ReadBranding(const std::string& settingsFile);

// Throws std::runtime_error naming the file when it cannot be loaded.
unique_hicon LoadBrandingIcon(const std::string& fileName);

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
