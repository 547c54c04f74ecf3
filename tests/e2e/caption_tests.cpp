// Every caption of the main window and of the options, schedule and About
// dialogs fits its control when measured with that control's own font, and
// every control fits its container. A font that is missing (as in a Wine prefix
// without Tahoma) falls back to a wider one and cuts the ends off labels, check
// boxes and buttons; a panel narrower than its layout cuts off whole controls.
#include "UAboutForm.h"
#include "UMainForm.h"
#include "UOptionsForm.h"
#include "UProfileEventDialog.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

using namespace kal;

namespace {

std::string WindowText(HWND window) {
    std::string text(static_cast<size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(
        static_cast<size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// The width a control leaves its caption and how the caption is laid out;
// none for controls whose text is no caption (edits, lists, pictures).
struct TCaptionRoom {
    int Width;
    UINT Format;
};

std::optional<TCaptionRoom> CaptionRoom(HWND control, int clientWidth, int dpi) {
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    const std::string kind = ClassOf(control);
    if (lstrcmpiA(kind.c_str(), "Button") == 0) {
        const UINT lines = (style & BS_MULTILINE) ? DT_WORDBREAK : DT_SINGLELINE;
        switch (style & BS_TYPEMASK) {
        case BS_PUSHBUTTON:
        case BS_DEFPUSHBUTTON:
            return TCaptionRoom{clientWidth - MulDiv(2 * 3, dpi, 96), lines};
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            // The box or circle (13 pixels at 96 dpi) and the gap before the text.
            return TCaptionRoom{clientWidth - MulDiv(13 + 4, dpi, 96), lines};
        case BS_GROUPBOX:
            return TCaptionRoom{clientWidth - MulDiv(2 * 8, dpi, 96), DT_SINGLELINE};
        default:
            return std::nullopt;
        }
    }
    if (lstrcmpiA(kind.c_str(), "Static") == 0) {
        const UINT prefix = (style & SS_NOPREFIX) ? DT_NOPREFIX : 0;
        switch (style & SS_TYPEMASK) {
        case SS_LEFT:
        case SS_CENTER:
        case SS_RIGHT:
            return TCaptionRoom{clientWidth, DT_WORDBREAK | DT_EXPANDTABS | prefix};
        case SS_SIMPLE:
        case SS_LEFTNOWORDWRAP:
            return TCaptionRoom{clientWidth, DT_SINGLELINE | prefix};
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Each caption of `window`'s controls, hidden pages included, that its
// control cuts off, with the room it needs and the room it has; `measured`
// counts the captions looked at.
std::vector<std::string> ClippedCaptions(HWND window, size_t& measured) {
    const std::vector<HWND> controls = Descendants(window);
    std::vector<std::string> clipped;
    measured = 0;
    for (HWND control : controls) {
        const std::string caption = WindowText(control);
        RECT bounds, container;
        GetWindowRect(control, &bounds);
        MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&bounds), 2);
        GetClientRect(GetParent(control), &container);
        // Controls placed by the program's layout, not the parts of a common control.
        if (TWindow::FromHandle(GetParent(control)) &&
            (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) &&
            (bounds.left < 0 || bounds.top < 0 || bounds.right > container.right ||
             bounds.bottom > container.bottom))
            clipped.push_back(
                ClassOf(control) + " \"" + caption + "\" at " + std::to_string(bounds.left) + "," +
                std::to_string(bounds.top) + " to " + std::to_string(bounds.right) + "," +
                std::to_string(bounds.bottom) + " is cut off by its container of " +
                std::to_string(container.right) + " by " + std::to_string(container.bottom));
        RECT client;
        GetClientRect(control, &client);
        HDC dc = GetDC(control);
        const int dpi = static_cast<int>(TWindow::FromHandle(window)->Dpi());
        const std::optional<TCaptionRoom> room = CaptionRoom(control, client.right, dpi);
        if (caption.empty() || !room) {
            ReleaseDC(control, dc);
            continue;
        }
        ++measured;
        auto font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
        const HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(SYSTEM_FONT));
        char face[LF_FACESIZE] = "";
        GetTextFaceA(dc, sizeof face, face);
        RECT need{0, 0, room->Width, 0};
        DrawTextA(dc, caption.c_str(), -1, &need, room->Format | DT_CALCRECT);
        SelectObject(dc, old);
        ReleaseDC(control, dc);
        if (need.right > room->Width || need.bottom > client.bottom)
            clipped.push_back("\"" + caption + "\" in " + face + " needs " +
                              std::to_string(need.right) + " by " + std::to_string(need.bottom) +
                              " pixels, has " + std::to_string(room->Width) + " by " +
                              std::to_string(client.bottom));
    }
    return clipped;
}

} // namespace

// At each display scale, as a move to a monitor of that scale gives it.
TEST(Captions, EveryCaptionOfTheMainWindowAndItsDialogsFitsAtEveryScale) {
    TMainForm main(e2e::ScratchFolder("Captions"), e2e::StandardUserTray());
    TOptionsForm options(main.Handle());
    TProfileEventDialog schedule(main.Handle());
    TAboutForm about(main.Handle());
    std::map<UINT, std::array<LONG, 3>> mainAt; // client width and height, font height
    for (const UINT dpi : {96u, 120u, 144u, 192u}) {
        for (const auto& [name, window] : {std::pair{"main window", main.Handle()},
                                           std::pair{"options dialog", options.Handle()},
                                           std::pair{"schedule dialog", schedule.Handle()},
                                           std::pair{"About", about.Handle()}}) {
            RECT suggested;
            GetWindowRect(window, &suggested);
            SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                         reinterpret_cast<LPARAM>(&suggested));
            size_t measured = 0;
            for (const std::string& clipped : ClippedCaptions(window, measured))
                ADD_FAILURE() << name << " at " << dpi << " DPI: " << clipped;
            EXPECT_GT(measured, 1u) << name << ": no captions to measure";
        }
        RECT client;
        GetClientRect(main.Handle(), &client);
        LOGFONTA font{};
        GetObjectA(main.Font(), sizeof font, &font);
        mainAt[dpi] = {client.right, client.bottom, -font.lfHeight};
    }
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(mainAt[144][i], mainAt[96][i] * 3 / 2, 2) << "measure " << i;
}
