#include "UAboutForm.h"

#include "UFormUtils.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace kal {

std::string VersionStringPrefix(TTranslation translation) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "StringFileInfo\\%04X%04X",
                  static_cast<unsigned>(translation.Language),
                  static_cast<unsigned>(translation.CodePage));
    return prefix;
}

std::optional<TVersionInfo> TVersionInfo::FromFile(const std::string& fileName) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &ignored);
    if (size == 0)
        return std::nullopt;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(fileName.c_str(), 0, size, data.data()))
        return std::nullopt;
    return TVersionInfo(std::move(data));
}

std::optional<TTranslation> TVersionInfo::FirstTranslation() const {
    void* value = nullptr;
    UINT length = 0;
    // VerQueryValueA does not write through its block, but is declared to take a mutable one.
    auto* block = const_cast<char*>(FData.data());
    if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &length) || value == nullptr ||
        length < 2 * sizeof(WORD))
        return std::nullopt;
    WORD pair[2];
    std::memcpy(pair, value, sizeof pair);
    return TTranslation{pair[0], pair[1]};
}

std::optional<std::string> TVersionInfo::QueryString(const std::string& subBlock) const {
    void* value = nullptr;
    UINT length = 0;
    auto* block = const_cast<char*>(FData.data());
    if (!VerQueryValueA(block, subBlock.c_str(), &value, &length) || value == nullptr)
        return std::nullopt;
    // The length counts characters including the terminator on some systems and
    // not on others; the text ends at the first zero either way.
    const auto* text = static_cast<const char*>(value);
    return std::string(text, strnlen(text, length));
}

TAboutTexts AboutTextsFromVersion(const TVersionInfo* info) {
    TAboutTexts texts;
    if (info == nullptr)
        return texts;
    const std::optional<TTranslation> translation = info->FirstTranslation();
    if (!translation)
        return texts;
    const std::string prefix = VersionStringPrefix(*translation);
    const struct {
        const char* path;
        std::string* label;
        const char* caption;
    } rows[] = {
        {"\\ProductName", &texts.ProductName, "Product: "},
        {"\\FileVersion", &texts.Version, "Version: "},
        {"\\LegalCopyright", &texts.Copyright, "Copyright: "},
        {"\\Comments", &texts.Comments, "Comments:\n\r"},
    };
    for (const auto& row : rows)
        if (std::optional<std::string> value = info->QueryString(prefix + row.path))
            *row.label = row.caption + *value;
    return texts;
}

TAboutForm::TAboutForm(HWND owner) {
    Create(DialogParams("TAboutForm", "About", 298, 213, DefaultOwner(owner),
                        TOwnerFont{"MS Sans Serif", -11}));
    Panel1 = std::make_unique<TPanel>(TPanel::TParams{.Parent = Handle(),
                                                      .Left = 8,
                                                      .Top = 8,
                                                      .Width = 281,
                                                      .Height = 161,
                                                      .Bevel = TBevel::bvLowered,
                                                      .Target = Handle()});
    HWND panel = Panel1->Handle();
    ProgramIcon = CreateControl({.ClassName = "STATIC",
                                 .Style = WS_VISIBLE | SS_ICON,
                                 .Left = 8,
                                 .Top = 8,
                                 .Width = 32,
                                 .Height = 32,
                                 .Parent = panel});
    const auto label = [panel](int left, int top, int width, int height) {
        return CreateLabel(panel, "", left, top, width, height);
    };
    ProductName = label(55, 8, 218, 13);
    Version = label(55, 27, 218, 13);
    Copyright = label(8, 56, 265, 26);
    Comments = label(8, 88, 257, 57);
    OKButton = CreateButton(Handle(), "OK", 111, 180, IDOK, true);
    FormCreate();
}

TAboutForm::~TAboutForm() {
    DestroyHandle();
}

void TAboutForm::FormCreate() {
    SendMessageA(ProgramIcon, STM_SETICON, reinterpret_cast<WPARAM>(Application().Icon()), 0);
    const std::optional<TVersionInfo> info = TVersionInfo::FromFile(Application().ExeName());
    const TAboutTexts texts = AboutTextsFromVersion(info ? &*info : nullptr);
    SetText(ProductName, texts.ProductName);
    SetText(Version, texts.Version);
    SetText(Copyright, texts.Copyright);
    SetText(Comments, texts.Comments);
}

LRESULT TAboutForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
        (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        if (LOWORD(wParam) == IDOK && Modal())
            EndModal(mrOk);
        else
            Close();
        return 0;
    }
    return TWindow::HandleMessage(message, wParam, lParam);
}

} // namespace kal
