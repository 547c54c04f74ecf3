// The about window and the reading of the executable's own version resource.
#pragma once

#include "UPanel.h"
#include "UWindow.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kal {

// The first entry of a version block's translation table.
struct TTranslation {
    std::uint16_t Language = 0;
    std::uint16_t CodePage = 0;
};

// "StringFileInfo\" and the language and code page as upper-case hexadecimal
// ("StringFileInfo\080904E4"); no leading backslash.
std::string VersionStringPrefix(TTranslation translation);

// A file's version information block, read with the system's version API.
class TVersionInfo {
public:
    // None when the file has no version information or it cannot be read.
    static std::optional<TVersionInfo> FromFile(const std::string& fileName);

    std::optional<TTranslation> FirstTranslation() const;
    // A string value up to its terminating zero; none when the block lacks it.
    std::optional<std::string> QueryString(const std::string& subBlock) const;

private:
    explicit TVersionInfo(std::vector<char> data) : FData(std::move(data)) {}
    std::vector<char> FData;
};

// The texts of the about window's four labels.
struct TAboutTexts {
    std::string ProductName;
    std::string Version = "Version: Unknown";
    std::string Copyright;
    std::string Comments;
};

// The labels as the version block fills them; a missing block, translation or
// string leaves the corresponding defaults in place.
TAboutTexts AboutTextsFromVersion(const TVersionInfo* info);

// "About": the application's icon and the product, version, copyright and
// comments of the executable's own version resource, read once at creation.
class TAboutForm : public TWindow {
public:
    // `owner`: none takes the application's main window of this moment.
    explicit TAboutForm(HWND owner = nullptr);
    ~TAboutForm() override;

    std::unique_ptr<TPanel> Panel1;
    HWND ProgramIcon = nullptr;
    HWND ProductName = nullptr;
    HWND Version = nullptr;
    HWND Copyright = nullptr;
    HWND Comments = nullptr;
    HWND OKButton = nullptr;

protected:
    void FormCreate();
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};

} // namespace kal
