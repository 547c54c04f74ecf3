#include "UBranding.h"

#include <ocidl.h>
#include <olectl.h>

#include "UText.h"
#include "UWindow.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kal {

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName) {
    std::ifstream in(fileName, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const bool unicode = bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xEF\xBB\xBF", 0) == 0;
    if (!in || unicode || IsUtf8(bytes) || GetACP() != CP_UTF8)
        return;
    char folder[MAX_PATH + 1] = {};
    char copy[MAX_PATH + 1] = {};
    if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "kal", 0, copy))
        return;
    const std::wstring text = L"\xFEFF" + Utf8ToWide(FromLegacyText(bytes));
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(text.data()),
              static_cast<std::streamsize>(text.size() * sizeof(wchar_t)));
    out.close();
    if (!out) {
        DeleteFileA(copy);
        return;
    }
    FFileName = copy;
    FCopy = true;
}

TIniFile::~TIniFile() {
    if (FCopy)
        DeleteFileA(FFileName.c_str());
}

std::string TIniFile::ReadString(const char* section, const char* key) const {
    std::vector<char> buffer(4096);
    const DWORD n = GetPrivateProfileStringA(section, key, "", buffer.data(),
                                             static_cast<DWORD>(buffer.size()), FFileName.c_str());
    return std::string(buffer.data(), n);
}

std::vector<std::string> TIniFile::ReadSection(const char* section) const {
    const std::string& file = FFileName;
    // The whole section, so that lines without "=" count as names in file order.
    std::vector<char> buffer(32 * 1024);
    DWORD n = 0;
    for (;;) {
        n = GetPrivateProfileSectionA(section, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      file.c_str());
        if (n + 2 < buffer.size())
            break;
        buffer.resize(buffer.size() * 2);
    }
    std::vector<std::string> names;
    for (const char* p = buffer.data(); p < buffer.data() + n && *p; p += std::strlen(p) + 1) {
        std::string line = p;
        const auto eq = line.find('=');
        names.push_back(eq == std::string::npos ? line : line.substr(0, eq));
    }
    return names;
}

long ParseIniInteger(const std::string& text) {
    std::string t = text;
    t.erase(0, t.find_first_not_of(" \t"));
    t.erase(t.find_last_not_of(" \t") + 1);
    if (t.empty())
        return 0;
    int base = 10;
    std::size_t start = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (t.size() > start + 2 && t[start] == '0' && (t[start + 1] == 'x' || t[start + 1] == 'X')) {
        base = 16;
        t.erase(start, 2);
    }
    char* end = nullptr;
    const long value = std::strtol(t.c_str(), &end, base);
    return end && *end == '\0' && end != t.c_str() + start ? value : 0;
}

TBranding ReadBranding(const std::string& settingsFile) {
    const TIniFile ini(settingsFile);
    TBranding branding;
    branding.SubTitle = ini.ReadString("Header", "SubTitle");
    branding.SupportURL = ini.ReadString("Header", "SupportURL");
    if (!branding.SupportURL.empty()) {
        branding.SupportTitle = ini.ReadString("Header", "SupportTitle");
        if (branding.SupportTitle.empty())
            branding.SupportTitle = "&Online Support";
    }
    branding.IconFile = ini.ReadString("Image", "Icon");
    branding.ImageFile = ini.ReadString("Image", "Image");
    if (!branding.ImageFile.empty())
        branding.Stretch = ParseIniInteger(ini.ReadString("Image", "Stretch")) != 0;
    for (const std::string& name : ini.ReadSection("Text"))
        branding.DisplayText += name + "\r\n";
    return branding;
}

unique_hicon LoadBrandingIcon(const std::string& fileName) {
    unique_hicon icon(static_cast<HICON>(
        LoadImageA(nullptr, fileName.c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE)));
    if (!icon)
        throw std::runtime_error(LastErrorText(("Cannot load icon \"" + fileName + "\"").c_str()));
    return icon;
}

struct TBrandingPicture::TImpl {
    com_ptr<IPicture> Picture;
};

TBrandingPicture::TBrandingPicture(const std::string& fileName) : FImpl(std::make_unique<TImpl>()) {
    std::string ext;
    if (const auto dot = fileName.find_last_of('.');
        dot != std::string::npos && fileName.find_last_of("\\/") < dot)
        ext = fileName.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const char* const known[] = {"bmp", "ico", "wmf", "emf", "jpg", "jpeg"};
    if (std::find(std::begin(known), std::end(known), ext) == std::end(known))
        throw std::runtime_error("Unknown picture file extension (." + ext + ") of " + fileName);

    unique_hglobal memory;
    DWORD size = 0;
    bool read = false;
    {
        const unique_handle_t file(CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                               nullptr));
        if (!file)
            throw std::runtime_error("Cannot open picture file \"" + fileName + "\"");
        size = GetFileSize(file.get(), nullptr);
        if (size != INVALID_FILE_SIZE)
            memory.reset(GlobalAlloc(GMEM_MOVEABLE, size));
        if (memory) {
            void* bytes = GlobalLock(memory.get());
            DWORD got = 0;
            read = ReadFile(file.get(), bytes, size, &got, nullptr) && got == size;
            GlobalUnlock(memory.get());
        }
    }
    com_ptr<IStream> stream;
    if (!read || FAILED(CreateStreamOnHGlobal(memory.get(), TRUE, stream.put())))
        throw std::runtime_error("Cannot read picture file \"" + fileName + "\"");
    // The stream frees the memory when it is released.
    memory.release();
    const HRESULT hr = OleLoadPicture(stream.get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                                      FImpl->Picture.put_void());
    if (FAILED(hr) || !FImpl->Picture)
        throw std::runtime_error("Invalid picture file \"" + fileName + "\"");
    OLE_XSIZE_HIMETRIC w = 0;
    OLE_YSIZE_HIMETRIC h = 0;
    FImpl->Picture->get_Width(&w);
    FImpl->Picture->get_Height(&h);
    const unique_window_dc screen(nullptr);
    FSize.cx = MulDiv(w, GetDeviceCaps(screen.get(), LOGPIXELSX), 2540);
    FSize.cy = MulDiv(h, GetDeviceCaps(screen.get(), LOGPIXELSY), 2540);
}

TBrandingPicture::~TBrandingPicture() = default;

void TBrandingPicture::Draw(HDC dc, const RECT& box, bool stretch) const {
    RECT target = box;
    if (!stretch) {
        const int bw = box.right - box.left, bh = box.bottom - box.top;
        target.left = box.left + (bw - FSize.cx) / 2;
        target.top = box.top + (bh - FSize.cy) / 2;
        target.right = target.left + FSize.cx;
        target.bottom = target.top + FSize.cy;
    }
    OLE_XSIZE_HIMETRIC w = 0;
    OLE_YSIZE_HIMETRIC h = 0;
    FImpl->Picture->get_Width(&w);
    FImpl->Picture->get_Height(&h);
    // HIMETRIC runs bottom-up: start at the height and go negative.
    FImpl->Picture->Render(dc, target.left, target.top, target.right - target.left,
                           target.bottom - target.top, 0, h, w, -h, nullptr);
}

} // namespace kal
