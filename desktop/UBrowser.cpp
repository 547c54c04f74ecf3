#include "UBrowser.h"

#include "UFiles.h"
#include "UWindow.h"

#include <objbase.h>

namespace kal {

namespace {

// The resizable picker needs COM on the calling thread; balance only what we started.
class TComScope {
public:
    TComScope() : FStarted(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    TComScope(const TComScope&) = delete;
    TComScope& operator=(const TComScope&) = delete;
    ~TComScope() {
        if (FStarted)
            CoUninitialize();
    }

private:
    bool FStarted;
};

} // namespace

std::string PathFromIDList(PCIDLIST_ABSOLUTE list) {
    return PathOfShellItem(list);
}

TBrowser::TBrowser()
    : TBrowser(TShell{[](BROWSEINFOA* info) { return SHBrowseForFolderA(info); },
                      [](PCIDLIST_ABSOLUTE list) {
                          return PathFromIDList(list);
                      }}) {}

TBrowser::TBrowser(TShell shell) : FShell(std::move(shell)) {
    TWindow* main = Application().MainForm();
    FBrowseInfo.hwndOwner = main ? main->Handle() : nullptr;
    FBrowseInfo.pidlRoot = nullptr;
    FBrowseInfo.pszDisplayName = nullptr;
    FBrowseInfo.ulFlags = BIF_NEWDIALOGSTYLE;
    FBrowseInfo.lpfn = nullptr;
}

bool TBrowser::Browse() {
    FBrowseInfo.lpszTitle = FTitle.c_str();
    TComScope com;
    const unique_cotaskmem item(FShell.BrowseForFolder(&FBrowseInfo));
    if (!item) {
        FFilename.clear();
        return false;
    }
    FFilename = FShell.GetPathFromIDList(static_cast<PCIDLIST_ABSOLUTE>(item.get()));
    return true;
}

} // namespace kal
