#include "UWindow.h"

#include "window_testing.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace kal;
using namespace kal::testing;

namespace {

constexpr UINT WM_TEST_THROW = WM_APP + 1;

class TestWindow : public TWindow {
public:
    explicit TestWindow(TWindowParams params = {}) {
        if (!params.ClassName || std::string(params.ClassName) == "KalvarenWindow")
            params.ClassName = "KalvarenLayerTest";
        Create(params);
    }
    ~TestWindow() override { DestroyHandle(); }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_TEST_THROW)
            throw std::runtime_error("handler failed");
        return TWindow::HandleMessage(message, wParam, lParam);
    }
};

HWND Child(const TWindow& parent, int left, int top, int width, int height, bool visible = true) {
    return CreateControl({.ClassName = "STATIC",
                          .Style = visible ? WS_VISIBLE : 0u,
                          .Left = left,
                          .Top = top,
                          .Width = width,
                          .Height = height,
                          .Parent = parent.Handle()});
}

void Resize(const TWindow& window, int clientWidth, int clientHeight) {
    RECT frame{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(window.Handle(), GWL_STYLE)),
                       FALSE, static_cast<DWORD>(GetWindowLongPtrA(window.Handle(), GWL_EXSTYLE)));
    SetWindowPos(window.Handle(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Same(RECT a, RECT b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

} // namespace

TEST(WindowLayer, CreatesTheClientSizeAskedForWithTheNamedFont) {
    TestWindow window({.Caption = "Sized", .ClientWidth = 321, .ClientHeight = 123});
    SIZE client = ClientSize(window.Handle());
    EXPECT_EQ(client.cx, 321);
    EXPECT_EQ(client.cy, 123);
    EXPECT_EQ(window.Caption(), "Sized");
    LOGFONTA font{};
    ASSERT_TRUE(GetObjectA(window.Font(), sizeof font, &font));
    EXPECT_STREQ(font.lfFaceName, "Tahoma");
    EXPECT_EQ(font.lfHeight, -11);
    HWND label = Child(window, 1, 2, 30, 40);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0)), window.Font());
    SetText(label, "text");
    EXPECT_EQ(GetText(label), "text");
}

TEST(WindowLayer, AlignsInOrderSkipsHiddenControlsAndKeepsAnchors) {
    TestWindow window({.ClientWidth = 400, .ClientHeight = 300});
    HWND top = Child(window, 0, 0, 10, 20);
    HWND bottom = Child(window, 0, 0, 10, 30);
    HWND bottom2 = Child(window, 0, 0, 10, 5);
    HWND hidden = Child(window, 0, 0, 50, 10, false);
    HWND left = Child(window, 0, 0, 40, 10);
    HWND right = Child(window, 0, 0, 60, 10);
    HWND client = Child(window, 0, 0, 1, 1);
    HWND corner = Child(window, 330, 250, 50, 30);
    HWND stretch = Child(window, 10, 100, 380, 20);
    window.Layout.Align(top, TAlign::alTop);
    window.Layout.Align(bottom, TAlign::alBottom);
    window.Layout.Align(bottom2, TAlign::alBottom);
    window.Layout.Align(hidden, TAlign::alLeft);
    window.Layout.Align(left, TAlign::alLeft);
    window.Layout.Align(client, TAlign::alClient);
    window.Layout.Align(right, TAlign::alRight);
    window.Layout.Anchor(corner, akRight | akBottom);
    window.Layout.Anchor(stretch, akLeft | akRight | akTop);

    Resize(window, 500, 400);
    EXPECT_TRUE(Same(BoundsInParent(top), {0, 0, 500, 20}));
    EXPECT_TRUE(Same(BoundsInParent(bottom), {0, 370, 500, 400}));
    EXPECT_TRUE(Same(BoundsInParent(bottom2), {0, 365, 500, 370}));
    EXPECT_TRUE(Same(BoundsInParent(left), {0, 20, 40, 365}));
    EXPECT_TRUE(Same(BoundsInParent(right), {440, 20, 500, 365}));
    EXPECT_TRUE(Same(BoundsInParent(client), {40, 20, 440, 365}));
    EXPECT_TRUE(Same(BoundsInParent(corner), {430, 350, 480, 380}));
    EXPECT_TRUE(Same(BoundsInParent(stretch), {10, 100, 490, 120}));

    // A control shown later takes its place at the next layout.
    ShowWindow(hidden, SW_SHOWNA);
    Resize(window, 500, 401);
    EXPECT_TRUE(Same(BoundsInParent(hidden), {0, 20, 50, 366}));
    EXPECT_TRUE(Same(BoundsInParent(left), {50, 20, 90, 366}));

    // Too small for the aligned controls: nothing gets a negative size.
    Resize(window, 30, 30);
    RECT c = BoundsInParent(client);
    EXPECT_GE(c.right - c.left, 0);
    EXPECT_GE(c.bottom - c.top, 0);
}

TEST(WindowLayer, SplitterResizesTheControlItSitsAgainst) {
    TestWindow window({.ClientWidth = 300, .ClientHeight = 200});
    HWND pane = Child(window, 0, 0, 300, 50);
    TSplitter splitter(window.Handle(), window.Layout, TAlign::alBottom, 3, 20);
    HWND rest = Child(window, 0, 0, 1, 1);
    window.Layout.Align(pane, TAlign::alBottom);
    window.Layout.Align(splitter.Handle(), TAlign::alBottom);
    window.Layout.Align(rest, TAlign::alClient);
    EXPECT_EQ(window.Layout.NeighbourOf(splitter.Handle()), pane);
    window.Layout.Apply(window.Handle());
    ASSERT_TRUE(Same(BoundsInParent(splitter.Handle()), {0, 147, 300, 150}));

    auto drag = [&](int dy) {
        SendMessageA(splitter.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 1));
        SendMessageA(splitter.Handle(), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(5, 1 + dy));
        SendMessageA(splitter.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(5, 1 + dy));
    };
    drag(-40); // up: the bottom pane grows
    EXPECT_TRUE(Same(BoundsInParent(pane), {0, 110, 300, 200}));
    EXPECT_TRUE(Same(BoundsInParent(splitter.Handle()), {0, 107, 300, 110}));
    EXPECT_EQ(BoundsInParent(rest).bottom, 107);
    drag(500); // never below the minimum
    EXPECT_EQ(window.Layout.Extent(pane), 20);
    drag(-500); // nor over the whole client area
    EXPECT_EQ(window.Layout.Extent(pane), 200 - 3 - 20);
}

TEST(WindowLayer, ConstraintsBoundTheTrackingSize) {
    TestWindow window({.ClientWidth = 300, .ClientHeight = 200});
    window.Constraints = {.MinWidth = 250, .MinHeight = 150, .MaxWidth = 800, .MaxHeight = 0};
    MINMAXINFO info{};
    info.ptMaxTrackSize = {9999, 9999};
    SendMessageA(window.Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 250);
    EXPECT_EQ(info.ptMinTrackSize.y, 150);
    EXPECT_EQ(info.ptMaxTrackSize.x, 800);
    EXPECT_EQ(info.ptMaxTrackSize.y, 9999);

    window.Constraints = {.MinWidth = 250, .MinHeight = 150, .ClientSizes = true};
    SendMessageA(window.Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    RECT frame{0, 0, 250, 150};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrA(window.Handle(), GWL_STYLE)),
                       FALSE, static_cast<DWORD>(GetWindowLongPtrA(window.Handle(), GWL_EXSTYLE)));
    EXPECT_EQ(info.ptMinTrackSize.x, frame.right - frame.left);
    EXPECT_EQ(info.ptMinTrackSize.y, frame.bottom - frame.top);
    EXPECT_GT(info.ptMinTrackSize.y, 150);
}

TEST(WindowLayer, ShowModalDisablesTheOwnerUntilEndModal) {
    TestWindow owner;
    owner.Show();
    TestWindow dialog({.ClassName = "KalvarenLayerDialog", .Parent = owner.Handle()});
    bool ownerEnabledInside = true;
    ASSERT_TRUE(dialog.Post([&] {
        ownerEnabledInside = IsWindowEnabled(owner.Handle());
        EXPECT_TRUE(dialog.Modal());
        dialog.EndModal(mrOk);
    }));
    EXPECT_EQ(dialog.ShowModal(), mrOk);
    EXPECT_FALSE(ownerEnabledInside);
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_FALSE(dialog.Visible());
    EXPECT_FALSE(dialog.Modal());

    // Closing a modal window answers mrCancel.
    ASSERT_TRUE(dialog.Post([&] { SendMessageA(dialog.Handle(), WM_CLOSE, 0, 0); }));
    EXPECT_EQ(dialog.ShowModal(), mrCancel);
}

TEST(WindowLayer, TasksFromOtherThreadsRunOnTheWindowThread) {
    TestWindow window;
    const DWORD windowThread = GetCurrentThreadId();
    DWORD ranOn = 0;
    bool posted = false;
    std::thread worker([&] { posted = window.Post([&] { ranOn = GetCurrentThreadId(); }); });
    worker.join();
    ASSERT_TRUE(posted);
    EXPECT_EQ(ranOn, 0u); // not before the window thread dispatches
    TApplication::ProcessMessages();
    EXPECT_EQ(ranOn, windowThread);
}

TEST(WindowLayer, ExceptionsStopAtTheWindowProcedureAndReachTheErrorReport) {
    ExceptionRecorder errors;
    TestWindow window;
    SendMessageA(window.Handle(), WM_TEST_THROW, 0, 0);
    ASSERT_TRUE(window.Post([] { throw std::runtime_error("task failed"); }));
    TApplication::ProcessMessages();
    EXPECT_EQ(errors.Messages, (std::vector<std::string>{"handler failed", "task failed"}));
    EXPECT_TRUE(IsWindow(window.Handle()));
}

TEST(WindowLayer, TheMainWindowsCloseEndsTheMessageLoopOthersOnlyHide) {
    TestWindow main, other;
    Application().SetMainForm(&main);
    other.Show();
    SendMessageA(other.Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(other.Visible());
    ASSERT_TRUE(main.Post([&] { SendMessageA(main.Handle(), WM_CLOSE, 0, 0); }));
    EXPECT_EQ(Application().Run(), 0); // returns only through the close
    EXPECT_FALSE(main.Visible());
    Application().SetMainForm(nullptr);

    HWND handle;
    {
        TestWindow gone;
        handle = gone.Handle();
        EXPECT_TRUE(gone.Post([] { FAIL() << "a task outlived its window"; }));
    }
    EXPECT_FALSE(IsWindow(handle));
    TApplication::ProcessMessages();
}
