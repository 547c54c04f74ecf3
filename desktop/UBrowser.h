// The shell's folder picker as a reusable component: Browse runs it, Filename
// holds the folder chosen.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <functional>
#include <string>

namespace kal {

// The file-system path of a shell item in UTF-8; empty for a virtual folder.
std::string PathFromIDList(PCIDLIST_ABSOLUTE list);

class TBrowser {
public:
    // The shell calls, replaceable for tests; the defaults are the system's.
    struct TShell {
        std::function<PIDLIST_ABSOLUTE(BROWSEINFOA* info)> BrowseForFolder;
        // The item's file-system path in UTF-8, empty when it has none.
        std::function<std::string(PCIDLIST_ABSOLUTE list)> GetPathFromIDList;
    };

    // The dialog's owner is the application's main window of this moment.
    TBrowser();
    explicit TBrowser(TShell shell);
    TBrowser(const TBrowser&) = delete;
    TBrowser& operator=(const TBrowser&) = delete;

    const std::string& Title() const noexcept { return FTitle; }
    void SetTitle(const std::string& title) { FTitle = title; }
    const std::string& Filename() const noexcept { return FFilename; }
    const BROWSEINFOA& BrowseInfo() const noexcept { return FBrowseInfo; }
    // The window the picker is modal to: it stays disabled while the picker is open.
    void SetOwner(HWND owner) noexcept { FBrowseInfo.hwndOwner = owner; }

    // True when the user confirmed a folder. The chosen item may have no file
    // system path (a virtual folder): then Filename is empty.
    bool Browse();

private:
    TShell FShell;
    BROWSEINFOA FBrowseInfo{};
    std::string FTitle;
    std::string FFilename;
};

} // namespace kal
