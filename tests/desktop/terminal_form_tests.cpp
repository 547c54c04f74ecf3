#include "UTerminalForm.h"

#include "UProcess.h"
#include "UText.h"
#include "screenshot.h"
#include "window_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

using namespace kal;
using namespace kal::testing;

namespace {

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    for (std::string_view line : SplitConsoleLines(text))
        lines.emplace_back(line);
    return lines;
}

// The pane holds each line followed by CR LF.
std::vector<std::string> PaneLines(TTerminalForm& form, HWND pane) {
    form.Flush();
    std::string text = GetText(pane);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "pane text does not end with a line break";
    return lines;
}

// The runner sends a buffer of its own; the window may change it.
void Send(const TTerminalForm& form, unsigned message, const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    SendMessageA(form.Handle(), message, reinterpret_cast<WPARAM>(buffer.data()), 0);
}

bool Showing(HWND window) {
    return (GetWindowLongPtrA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

using Strings = std::vector<std::string>;

std::string ClipboardText(HWND owner) {
    if (!OpenClipboard(owner))
        return "(clipboard not open)";
    const HANDLE data = GetClipboardData(CF_TEXT);
    const char* copied = data ? static_cast<const char*>(GlobalLock(data)) : nullptr;
    std::string text = copied ? copied : "";
    if (copied)
        GlobalUnlock(data);
    CloseClipboard();
    return text;
}

} // namespace

TEST(TerminalLines, LineFeedsEndLinesAndOnlyAnLfCrPairCountsAsOneBreak) {
    EXPECT_EQ(Lines("a\nb"), (Strings{"a", "b"}));
    EXPECT_EQ(Lines("a\n"), (Strings{"a"}));
    EXPECT_EQ(Lines("\n"), (Strings{""}));
    EXPECT_EQ(Lines("a\n\n"), (Strings{"a", ""}));
    EXPECT_EQ(Lines("a\n\rb"), (Strings{"a", "b"}));
    EXPECT_EQ(Lines("x\r\ny"), (Strings{"x\r", "y"}));
    EXPECT_EQ(Lines("a\rb"), (Strings{"a\rb"}));
    EXPECT_EQ(Lines("\n\r\n"), (Strings{"", ""}));
    EXPECT_EQ(Lines(""), Strings{});
}

TEST(TerminalForm, IsAHiddenToolWindowWithA662By363ClientArea) {
    TTerminalForm form;
    EXPECT_FALSE(form.Visible());
    EXPECT_EQ(form.Caption(), "Backup Terminal");
    EXPECT_TRUE(GetWindowLongPtrA(form.Handle(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    SIZE client = ClientSize(form.Handle());
    EXPECT_EQ(client.cx, 662);
    EXPECT_EQ(client.cy, 363);
    MINMAXINFO limits{};
    SendMessageA(form.Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, 464);
    EXPECT_EQ(limits.ptMinTrackSize.y, 273);

    HMENU file = GetSubMenu(GetMenu(form.Handle()), 0);
    ASSERT_NE(file, nullptr);
    char text[32];
    GetMenuStringA(GetMenu(form.Handle()), 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "File");
    ASSERT_EQ(GetMenuItemCount(file), 3);
    GetMenuStringA(file, 0, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Clear");
    EXPECT_EQ(GetMenuState(file, 1, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
    GetMenuStringA(file, 2, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "Close");

    EXPECT_TRUE(Showing(form.mem_ConsoleOutput));
    EXPECT_FALSE(Showing(form.mem_ConsoleError));
    EXPECT_TRUE(GetWindowLongPtrA(form.mem_ConsoleOutput, GWL_STYLE) & ES_READONLY);
    // With the error pane hidden the splitter sits at the bottom, the output above it.
    RECT splitter = BoundsInParent(form.Splitter1->Handle());
    RECT output = BoundsInParent(form.mem_ConsoleOutput);
    EXPECT_EQ(splitter.bottom, 363);
    EXPECT_EQ(splitter.bottom - splitter.top, 3);
    EXPECT_EQ(output.top, 0);
    EXPECT_EQ(output.bottom, splitter.top);
    EXPECT_EQ(output.right, 662);
}

TEST(TerminalForm, OutputTextShowsTheWindowAndEachMessageIsSplitOnItsOwn) {
    TTerminalForm form;
    Send(form, WM_CONSOLE_OUTPUT, "a\nb");
    EXPECT_TRUE(form.Visible());
    EXPECT_EQ(PaneLines(form, form.mem_ConsoleOutput), (Strings{"a", "b"}));
    Send(form, WM_CONSOLE_OUTPUT, "x\r\ny");
    Send(form, WM_CONSOLE_OUTPUT, "\n");
    // A line cut by the end of a read shows as two lines.
    Send(form, WM_CONSOLE_OUTPUT, "par");
    Send(form, WM_CONSOLE_OUTPUT, "tial\n\r");
    EXPECT_EQ(PaneLines(form, form.mem_ConsoleOutput),
              (Strings{"a", "b", "x\r", "y", "", "par", "tial"}));
    EXPECT_EQ(GetText(form.mem_ConsoleError), "");
    EXPECT_FALSE(Showing(form.mem_ConsoleError));

    // A null text adds nothing and does not crash.
    SendMessageA(form.Handle(), WM_CONSOLE_OUTPUT, 0, 0);
    EXPECT_EQ(PaneLines(form, form.mem_ConsoleOutput).size(), 7u);

    // Text arriving while hidden (closed by the user) shows the window again.
    form.Hide();
    Send(form, WM_CONSOLE_OUTPUT, "again");
    EXPECT_TRUE(form.Visible());
}

TEST(TerminalForm, TextHeldBackDuringAFloodAppearsWithinMoments) {
    TTerminalForm form;
    for (int i = 0; i < 50; ++i)
        Send(form, WM_CONSOLE_OUTPUT, "line " + std::to_string(i) + "\n");
    const ULONGLONG start = GetTickCount64();
    while (GetText(form.mem_ConsoleOutput).find("line 49") == std::string::npos &&
           GetTickCount64() - start < 2000) {
        TApplication::ProcessMessages();
        Sleep(5);
    }
    const std::string text = GetText(form.mem_ConsoleOutput);
    EXPECT_EQ(text.find("line 0\r\n"), 0u);
    EXPECT_NE(text.find("line 48\r\nline 49\r\n"), std::string::npos);

    // Text held back when the panes are cleared is dropped with them.
    Send(form, WM_CONSOLE_OUTPUT, "a\n");
    Send(form, WM_CONSOLE_OUTPUT, "b\n");
    form.Clear();
    EXPECT_EQ(PaneLines(form, form.mem_ConsoleOutput), Strings{});
}

TEST(TerminalForm, ErrorTextWhileHiddenShowsBothPanesWithTheSplitterBetween) {
    TTerminalForm form;
    Send(form, WM_CONSOLE_ERROR, "@ERROR: Unknown module 'x'\n");
    EXPECT_TRUE(form.Visible());
    EXPECT_TRUE(Showing(form.mem_ConsoleOutput));
    EXPECT_TRUE(Showing(form.mem_ConsoleError));
    EXPECT_EQ(PaneLines(form, form.mem_ConsoleError), (Strings{"@ERROR: Unknown module 'x'"}));
    EXPECT_EQ(GetText(form.mem_ConsoleOutput), "");

    RECT error = BoundsInParent(form.mem_ConsoleError);
    RECT splitter = BoundsInParent(form.Splitter1->Handle());
    RECT output = BoundsInParent(form.mem_ConsoleOutput);
    EXPECT_EQ(error.bottom, 363);
    EXPECT_EQ(error.bottom - error.top, 111);
    EXPECT_EQ(splitter.bottom, error.top);
    EXPECT_EQ(output.bottom, splitter.top);
}

TEST(TerminalForm, ClearEmptiesBothPanesAndHidesTheErrorPane) {
    TTerminalForm form;
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        Send(form, WM_CONSOLE_OUTPUT, "out\n");
        Send(form, WM_CONSOLE_ERROR, "err\n");
        ASSERT_TRUE(Showing(form.mem_ConsoleError));
        if (way == 0)
            form.Clear();
        else if (way == 1) // the menu item
            SendMessageA(form.Handle(), WM_COMMAND, TTerminalForm::Clear1, 0);
        else
            SendMessageA(form.Handle(), WM_CONSOLE_CLEAR, 0, 0);
        EXPECT_EQ(GetText(form.mem_ConsoleOutput), "");
        EXPECT_EQ(GetText(form.mem_ConsoleError), "");
        EXPECT_FALSE(Showing(form.mem_ConsoleError));
        EXPECT_EQ(BoundsInParent(form.Splitter1->Handle()).bottom, 363);
        EXPECT_EQ(BoundsInParent(form.mem_ConsoleOutput).bottom,
                  BoundsInParent(form.Splitter1->Handle()).top);
    }
}

TEST(TerminalForm, ClosingOnlyHidesAndKeepsTheText) {
    TTerminalForm form;
    Send(form, WM_CONSOLE_OUTPUT, "kept\n");
    SendMessageA(form.Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(form.Visible());
    EXPECT_TRUE(IsWindow(form.Handle()));
    EXPECT_EQ(PaneLines(form, form.mem_ConsoleOutput), (Strings{"kept"}));
    form.Show();
    SendMessageA(form.Handle(), WM_COMMAND, TTerminalForm::Close1, 0);
    EXPECT_FALSE(form.Visible());
}

TEST(TerminalForm, KeysInEitherPaneReachTheWindowsKeyEvents) {
    TTerminalForm form;
    struct Seen {
        TWindow* Sender;
        WORD Key;
    };
    std::vector<Seen> downs, ups;
    std::string pressed;
    form.OnKeyDown = [&](TWindow* sender, WORD& key, TShiftState) {
        downs.push_back({sender, key});
    };
    form.OnKeyUp = [&](TWindow* sender, WORD& key, TShiftState) {
        ups.push_back({sender, key});
    };
    form.OnKeyPress = [&](TWindow*, char& key) {
        pressed += key;
    };
    for (HWND pane : {form.mem_ConsoleOutput, form.mem_ConsoleError}) {
        SendMessageA(pane, WM_KEYDOWN, VK_CANCEL, 0x00460001); // Ctrl+Break
        SendMessageA(pane, WM_KEYUP, VK_CANCEL, 0xC0460001);
        SendMessageA(pane, WM_CHAR, 'q', 0);
    }
    // Through the message loop too, as a real key press travels.
    form.Show();
    PostMessageA(form.mem_ConsoleError, WM_KEYDOWN, VK_CANCEL, 0x00460001);
    TApplication::ProcessMessages();
    ASSERT_EQ(downs.size(), 3u);
    EXPECT_EQ(downs[2].Key, 3);
    downs.pop_back();

    ASSERT_EQ(downs.size(), 2u);
    ASSERT_EQ(ups.size(), 2u);
    for (const Seen& seen : downs) {
        EXPECT_EQ(seen.Key, 3);
        EXPECT_EQ(seen.Sender, &form);
    }
    EXPECT_EQ(ups[1].Key, 3);
    EXPECT_EQ(pressed, "qq");
}

TEST(TerminalForm, LongRunsAreKeptWholeWithTheNewestLineInView) {
    TTerminalForm form;
    form.Show();
    // Well past the edit control's default limit of 30,000 characters.
    std::string chunk;
    for (int i = 0; i < 100; ++i)
        chunk += "sending incremental file list ........ " + std::to_string(i) + "\n";
    for (int i = 0; i < 20; ++i)
        Send(form, WM_CONSOLE_OUTPUT, chunk);
    Send(form, WM_CONSOLE_OUTPUT, "the last line\n");
    std::vector<std::string> lines = PaneLines(form, form.mem_ConsoleOutput);
    ASSERT_EQ(lines.size(), 2001u);
    EXPECT_EQ(lines.back(), "the last line");

    const int first =
        static_cast<int>(SendMessageA(form.mem_ConsoleOutput, EM_GETFIRSTVISIBLELINE, 0, 0));
    TEXTMETRICA metrics;
    {
        unique_window_dc dc(form.mem_ConsoleOutput);
        HGDIOBJ old = SelectObject(dc.get(), form.Font());
        GetTextMetricsA(dc.get(), &metrics);
        SelectObject(dc.get(), old);
    }
    RECT client;
    GetClientRect(form.mem_ConsoleOutput, &client);
    const int perPage = client.bottom / metrics.tmHeight;
    // Line 2000 holds "the last line"; the empty line after it may be the last shown.
    EXPECT_GE(first + perPage, 2000);
    EXPECT_LE(first, 2000);
}

namespace {

// Sends `count` numbered lines from `from` on, `perMessage` to a message, as the
// runner sends a flood; each line is padded to `width` characters.
void SendNumbered(const TTerminalForm& form, unsigned message, int from, int count, int perMessage,
                  size_t width = 0) {
    std::string text;
    for (int i = from; i < from + count; ++i) {
        std::string line = "line " + std::to_string(i);
        line.resize(std::max(width, line.size()), '.');
        text += line + "\n";
        if ((i - from + 1) % perMessage == 0 || i + 1 == from + count) {
            Send(form, message, text);
            text.clear();
        }
    }
}

// The pane's lines after the marker are numbered lines `first`, `first` + 1, ... up
// to `last`; checks them all and returns the marker line.
std::string ExpectNumberedTail(const std::vector<std::string>& lines, int last, size_t width = 0) {
    EXPECT_GE(lines.size(), 2u);
    if (lines.size() < 2)
        return "";
    const int first = last - static_cast<int>(lines.size()) + 2;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string line = "line " + std::to_string(first + static_cast<int>(i) - 1);
        line.resize(std::max(width, line.size()), '.');
        if (lines[i] != line) {
            ADD_FAILURE() << "pane line " << i << " is \"" << lines[i] << "\", not \"" << line
                          << "\"";
            break;
        }
    }
    return lines.front();
}

} // namespace

TEST(TerminalForm, AFloodKeepsTheNewestLinesWholeBelowAMarkerCountingTheRest) {
    TTerminalForm form;
    // One and a half times the line bound: the pane trims twice on the way.
    const int total = PaneLineLimit * 3 / 2;
    SendNumbered(form, WM_CONSOLE_OUTPUT, 0, total, 400);
    std::vector<std::string> lines = PaneLines(form, form.mem_ConsoleOutput);
    ASSERT_LE(lines.size(), size_t(PaneLineLimit) + 1);
    EXPECT_GE(lines.size(), size_t(PaneLineLimit) / 2);
    std::string marker = ExpectNumberedTail(lines, total - 1);
    EXPECT_EQ(marker, "[" + std::to_string(total - lines.size() + 1) +
                          " earlier lines are no longer shown]");

    // Text after a trim is still added in order, up to the newest line in view.
    SendNumbered(form, WM_CONSOLE_OUTPUT, total, 10, 10);
    lines = PaneLines(form, form.mem_ConsoleOutput);
    ExpectNumberedTail(lines, total + 9);
    const int firstVisible =
        static_cast<int>(SendMessageA(form.mem_ConsoleOutput, EM_GETFIRSTVISIBLELINE, 0, 0));
    EXPECT_GT(firstVisible, static_cast<int>(lines.size()) - 100);

    // Clear forgets the count; long lines meet the character bound before the line bound.
    form.Clear();
    const size_t width = 1000;
    const int longLines = PaneCharLimit / int(width) * 3 / 2;
    SendNumbered(form, WM_CONSOLE_ERROR, 0, longLines, 60, width);
    EXPECT_TRUE(Showing(form.mem_ConsoleError));
    EXPECT_LE(GetWindowTextLengthW(form.mem_ConsoleError), PaneCharLimit);
    EXPECT_EQ(GetText(form.mem_ConsoleOutput), "");
    lines = PaneLines(form, form.mem_ConsoleError);
    marker = ExpectNumberedTail(lines, longLines - 1, width);
    EXPECT_EQ(marker, "[" + std::to_string(longLines - lines.size() + 1) +
                          " earlier lines are no longer shown]");
}

TEST(TerminalForm, TextSelectedDuringAFloodStaysSelectedAndCanBeCopied) {
    TTerminalForm form;
    form.Show();
    SendNumbered(form, WM_CONSOLE_OUTPUT, 0, PaneLineLimit - 100, 500);
    form.Flush();
    // The user selects a line near the end and keeps it while the flood goes on
    // and the pane trims its oldest lines.
    const HWND pane = form.mem_ConsoleOutput;
    const int line = PaneLineLimit - 150;
    const int start = static_cast<int>(SendMessageA(pane, EM_LINEINDEX, line, 0));
    SendMessageA(pane, EM_SETSEL, start, start + 10);
    SendMessageA(pane, EM_LINESCROLL, 0, -40);
    const int top = static_cast<int>(SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0));
    SendNumbered(form, WM_CONSOLE_OUTPUT, PaneLineLimit - 100, 1000, 500);
    form.Flush();
    ASSERT_EQ(PaneLines(form, pane).front().front(), '[') << "the pane was not trimmed";

    DWORD from = 0, to = 0;
    SendMessageA(pane, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(GetText(pane).substr(from, to - from), "line " + std::to_string(line));
    const int dropped = line - static_cast<int>(SendMessageA(pane, EM_LINEFROMCHAR, from, 0));
    EXPECT_EQ(SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0), top - dropped);

    SendMessageA(pane, WM_COPY, 0, 0);
    EXPECT_EQ(ClipboardText(form.Handle()), "line " + std::to_string(line));

    // Once the selection is let go, the newest line comes back into view.
    SendMessageA(pane, EM_SETSEL, from, from);
    SendNumbered(form, WM_CONSOLE_OUTPUT, PaneLineLimit + 900, 10, 10);
    form.Flush();
    EXPECT_GT(SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0),
              SendMessageA(pane, EM_GETLINECOUNT, 0, 0) - 100);
}

namespace {

std::string Selection(HWND pane) {
    DWORD from = 0, to = 0;
    SendMessageA(pane, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    return GetText(pane).substr(from, to - from);
}

// Holds exactly these modifier keys down for the keys sent next.
void HoldKeys(std::initializer_list<int> keys) {
    BYTE state[256];
    GetKeyboardState(state);
    state[VK_SHIFT] = state[VK_CONTROL] = 0;
    for (int key : keys)
        state[key] = 0x80;
    SetKeyboardState(state);
}

void PressKey(HWND pane, WORD key, std::initializer_list<int> held = {}) {
    HoldKeys(held);
    SendMessageA(pane, WM_KEYDOWN, key, 0);
    HoldKeys({});
}

} // namespace

TEST(TerminalForm, PanesSelectCopyClearAndScrollAsEditsDidAndReadOutTheirLines) {
    TTerminalForm form;
    form.Show();
    const HWND pane = form.mem_ConsoleOutput;
    Send(form, WM_CONSOLE_OUTPUT, "alpha\nbeta\ngamma\n");
    form.Flush();
    // Other programs and screen readers read the lines it holds.
    EXPECT_EQ(SendMessageA(pane, WM_GETTEXTLENGTH, 0, 0), 20);
    EXPECT_EQ(GetText(pane), "alpha\r\nbeta\r\ngamma\r\n");
    char small[8];
    EXPECT_EQ(SendMessageA(pane, WM_GETTEXT, sizeof small, reinterpret_cast<LPARAM>(small)), 7);
    EXPECT_STREQ(small, "alpha\r\n");
    char line[16] = {sizeof line};
    ASSERT_EQ(SendMessageA(pane, EM_GETLINE, 1, reinterpret_cast<LPARAM>(line)), 4);
    EXPECT_EQ(std::string(line, 4), "beta");

    // A drag over the second line selects it; Shift+Down and Shift+End extend it.
    TEXTMETRICA metrics{};
    {
        unique_window_dc dc(pane);
        SelectObject(dc.get(), form.Font());
        GetTextMetricsA(dc.get(), &metrics);
    }
    const int y = metrics.tmHeight * 3 / 2;
    SendMessageA(pane, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(0, y));
    SendMessageA(pane, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(600, y));
    SendMessageA(pane, WM_LBUTTONUP, 0, MAKELPARAM(600, y));
    EXPECT_EQ(Selection(pane), "beta");
    PressKey(pane, VK_DOWN, {VK_SHIFT});
    PressKey(pane, VK_END, {VK_SHIFT});
    EXPECT_EQ(Selection(pane), "beta\r\ngamma");

    // Text arriving leaves the selection as it is; Ctrl+C copies it.
    Send(form, WM_CONSOLE_OUTPUT, "delta\n");
    form.Flush();
    EXPECT_EQ(Selection(pane), "beta\r\ngamma");
    PressKey(pane, 'C', {VK_CONTROL});
    EXPECT_EQ(ClipboardText(form.Handle()), "beta\r\ngamma");
    // Ctrl+A, then the context menu's Copy.
    PressKey(pane, 'A', {VK_CONTROL});
    SendMessageA(pane, WM_COMMAND, TTerminalPane::Copy1, 0);
    EXPECT_EQ(ClipboardText(form.Handle()), "alpha\r\nbeta\r\ngamma\r\ndelta\r\n");
    // A key without Shift lets the selection go.
    PressKey(pane, VK_HOME);
    EXPECT_EQ(Selection(pane), "");

    // Past the bound the oldest lines go one by one: the pane holds the bound
    // exactly, below the marker; a selection in the dropped text is let go.
    SendMessageA(pane, EM_SETSEL, 7, 11);
    ASSERT_EQ(Selection(pane), "beta");
    SendNumbered(form, WM_CONSOLE_OUTPUT, 0, PaneLineLimit, 1000);
    std::vector<std::string> lines = PaneLines(form, pane);
    ASSERT_EQ(lines.size(), size_t(PaneLineLimit) + 1);
    EXPECT_EQ(lines[0], "[4 earlier lines are no longer shown]");
    EXPECT_EQ(lines[1], "line 0");
    EXPECT_EQ(Selection(pane), "");
    EXPECT_EQ(SendMessageA(pane, WM_GETTEXTLENGTH, 0, 0), LRESULT(GetText(pane).size()));

    // The scroll bar and the wheel move the view.
    SendMessageA(pane, WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    SendMessageA(pane, WM_VSCROLL, SB_PAGEDOWN, 0);
    const LRESULT page = SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0);
    EXPECT_GT(page, 1);
    SendMessageA(pane, WM_MOUSEWHEEL, MAKEWPARAM(0, -WHEEL_DELTA), 0);
    EXPECT_GT(SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0), page);
    SendMessageA(pane, WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(SendMessageA(pane, EM_GETFIRSTVISIBLELINE, 0, 0) + page, PaneLineLimit + 1);

    // The context menu's Clear in either pane clears the terminal.
    Send(form, WM_CONSOLE_ERROR, "err\n");
    ASSERT_TRUE(Showing(form.mem_ConsoleError));
    SendMessageA(form.mem_ConsoleError, WM_COMMAND, TTerminalPane::Clear1, 0);
    EXPECT_EQ(GetText(pane), "");
    EXPECT_EQ(GetText(form.mem_ConsoleError), "");
    EXPECT_FALSE(Showing(form.mem_ConsoleError));
}

TEST(TerminalForm, MouseAndKeysSelectWholeCharactersOfUtf8Text) {
    TTerminalForm form;
    form.Show();
    const HWND pane = form.mem_ConsoleOutput;
    const std::string line = "Gr\xC3\xBC\xC3\x9F"
                             "e \xE2\x82\xAC 5 \xF0\x9F\x93\xB7 ok";
    Send(form, WM_CONSOLE_OUTPUT, line + "\n");
    form.Flush();
    std::vector<std::string> seen;
    // A drag from the start to every point of the line selects a whole-character prefix.
    for (int x = 0; x < 200; ++x) {
        SendMessageA(pane, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(0, 2));
        SendMessageA(pane, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x, 2));
        SendMessageA(pane, WM_LBUTTONUP, 0, MAKELPARAM(x, 2));
        const std::string selected = Selection(pane);
        ASSERT_TRUE(IsUtf8(selected) && line.starts_with(selected)) << x << ": " << selected;
        if (seen.empty() || seen.back() != selected)
            seen.push_back(selected);
    }
    EXPECT_EQ(seen.back(), line);
    // Shift+Right steps through the same characters, one at a time.
    SendMessageA(pane, EM_SETSEL, 0, 0);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        PressKey(pane, VK_RIGHT, {VK_SHIFT});
        EXPECT_EQ(Selection(pane), seen[i]) << i;
    }
}

TEST(TerminalForm, ScreenshotWithBothPanes) {
    TTerminalForm form;
    Send(form, WM_CONSOLE_OUTPUT,
         "Transfer Intialising. Press Ctrl+Break to Terminate transfer.\n"
         "Transfering: /cygdrive/c/Users/Ann/Documents/\n"
         "sending incremental file list\nDocuments/\nDocuments/letter.txt\n"
         "          2,048 100%    1.95MB/s    0:00:00 (xfr#1, to-chk=0/2)\n");
    Send(form, WM_CONSOLE_ERROR,
         "rsync: [sender] change_dir \"/cygdrive/x\" failed: No such "
         "file or directory (2)\nrsync error: some files/attrs were not "
         "transferred (code 23)\n");
    const char* binary = std::getenv("KAL_BINARY_DIR");
    const std::filesystem::path folder =
        std::filesystem::path(binary ? binary : ".") / "screenshots";
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / "terminal.png";
    std::filesystem::remove(file);
    form.Flush();
    SaveWindowPng(form.Handle(), file.string());

    std::ifstream png(file, std::ios::binary);
    ASSERT_TRUE(png) << file;
    unsigned char header[24] = {};
    png.read(reinterpret_cast<char*>(header), sizeof header);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header + 1), 3), "PNG");
    RECT frame;
    GetWindowRect(form.Handle(), &frame);
    const unsigned width = header[16] << 24 | header[17] << 16 | header[18] << 8 | header[19];
    const unsigned height = header[20] << 24 | header[21] << 16 | header[22] << 8 | header[23];
    EXPECT_EQ(width, unsigned(frame.right - frame.left));
    EXPECT_EQ(height, unsigned(frame.bottom - frame.top));
}
