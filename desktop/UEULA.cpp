#include "UEULA.h"

#include "UFormUtils.h"
#include "UText.h"

#include <stdexcept>

namespace kal {

std::string ToMemoText(std::string_view text) {
    std::string result;
    result.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            result += "\r\n";
        } else {
            result += c;
        }
    }
    return result;
}

std::string ReadTextFile(const std::string& fileName) {
    const unique_handle_t file(CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error(LastErrorText(("Cannot open file \"" + fileName + "\"").c_str()));
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    for (;;) {
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
            throw std::runtime_error(
                LastErrorText(("Cannot read file \"" + fileName + "\"").c_str()));
        if (got == 0)
            return text;
        text.append(buffer, got);
    }
}

TEULAForm::TEULAForm(HWND owner) {
    Create(DialogParams("TEULAForm", "End User Licence Agreement", 484, 370, DefaultOwner(owner),
                        TOwnerFont{"Tahoma", -11}));
    Memo1 = CreateControl({.ClassName = "EDIT",
                           .Text = "The End User Licence Agreement File could not be loaded.\r\n"
                                   "Please see the EULA.txt file for more information.",
                           .Style = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE |
                                    ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN,
                           .ExStyle = WS_EX_CLIENTEDGE,
                           .Width = 484,
                           .Height = 370,
                           .Parent = Handle()});
    SendMessageA(Memo1, EM_SETLIMITTEXT, 0, 0); // a licence may exceed the 32K default
    Layout.Align(Memo1, TAlign::alClient);
    try {
        FormCreate();
    } catch (...) {
        // An unreadable file is reported; the window keeps its notice.
        Application().HandleException();
    }
}

TEULAForm::~TEULAForm() {
    DestroyHandle();
}

void TEULAForm::FormCreate() {
    // Resolved against the current folder at program start, as the program always has.
    const DWORD attributes = GetFileAttributesA("EULA.txt");
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    // A licence written in the legacy ANSI code page reads right as well.
    SetText(Memo1, ToMemoText(FromLegacyText(ReadTextFile("EULA.txt"))));
}

} // namespace kal
