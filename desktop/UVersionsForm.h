// "Restore Earlier Version": the runs that kept versions on the destination,
// newest first, to choose the one a profile is brought back to.
#pragma once

#include "UVersions.h"
#include "UWindow.h"

#include <string>
#include <vector>

namespace kal {

class TVersionsForm : public TWindow {
public:
    // `versions`: newest first, each shown as the local date and time of its run.
    TVersionsForm(HWND owner, const std::string& profileName,
                  const std::vector<TVersion>& versions);
    // The selected line, -1 for none.
    int Selected() const;
    HWND List() const noexcept { return FList; }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    HWND FList = nullptr;
};

// The run chosen, with every later one before it (as RestoreEarlierVersion takes
// them); empty when the user cancels.
std::vector<TVersion> ChooseEarlierVersion(HWND owner, const std::string& profileName,
                                           const std::vector<TVersion>& versions);

} // namespace kal
