#include "UFormatHelp.h"

#include "UFormUtils.h"

#include <algorithm>

namespace kal {

const std::string& FormatHelpText() {
    static const std::string text =
        "The format is a text string containing embedded single-character escape sequences\r\n"
        "prefixed with a percent character \"%\". It is used for logging file transfers when\r\n"
        "transfer logging is enabled. An optional numeric field width may be given between\r\n"
        "the percent and the escape letter, for example \"%-50n %8l %07p\".\r\n"
        "        * The default log format is \"%i %n%L\".\r\n"
        "        * The default output format is \"%n%L\".\r\n"
        "\r\n"
        "The single-character escapes that are recognised are as follows:\r\n"
        "\r\n"
        "        * %a the remote IP address\r\n"
        "        * %b the number of bytes actually transferred\r\n"
        "        * %B the permission bits of the file (e.g. rwxrwxrwt)\r\n"
        "        * %c the total size of the block checksums received for the basis file "
        "(only when sending)\r\n"
        "        * %f the file name (long form on the sender; no trailing \"/\")\r\n"
        "        * %G the group id of the file (decimal) or \"DEFAULT\"\r\n"
        "        * %h the remote host name\r\n"
        "        * %i an itemised list of what is being updated\r\n"
        "        * %l the length of the file in bytes\r\n"
        "        * %L the string \" -> SYMLINK\", \" => HARDLINK\", or \"\" (where SYMLINK or "
        "HARDLINK is a file name)\r\n"
        "        * %m the module name\r\n"
        "        * %M the last-modified time of the file\r\n"
        "        * %n the file name (short form; trailing \"/\" on a folder)\r\n"
        "        * %o the operation, which is \"send\", \"recv\", or \"del.\" (the latter "
        "includes the trailing period)\r\n"
        "        * %p the process id of this rsync run\r\n"
        "        * %P the module path\r\n"
        "        * %t the current date and time\r\n"
        "        * %u the authenticated user name or an empty string\r\n"
        "        * %U the user id of the file (decimal)";
    return text;
}

TFormatHelpDialog::TFormatHelpDialog(HWND owner) {
    HWND parent = DefaultOwner(owner);
    const TOwnerFont font = OwnerFont(parent);
    Create(DialogParams("TFormatHelpDialog", "Formatting Help", 574, 285, parent, font));
    Memo1 = CreateControl({.ClassName = "EDIT",
                           .Text = FormatHelpText().c_str(),
                           .Style = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE |
                                    ES_AUTOVSCROLL | ES_READONLY,
                           .ExStyle = WS_EX_CLIENTEDGE,
                           .Width = 574,
                           .Height = 285,
                           .Parent = Handle()});
    Layout.Align(Memo1, TAlign::alClient);
}

TFormatHelpDialog::~TFormatHelpDialog() {
    DestroyHandle();
}

void TFormatHelpDialog::ShowBeside(HWND anchor) {
    // At the anchor's scale before measuring, so that showing does not resize it.
    if (anchor)
        ScaleTo(MonitorDpi(anchor));
    RECT anchorRect{}, self{};
    if (anchor && GetWindowRect(anchor, &anchorRect) && GetWindowRect(Handle(), &self)) {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoA(MonitorFromWindow(anchor, MONITOR_DEFAULTTONEAREST), &monitor);
        const RECT& work = monitor.rcWork;
        const int width = self.right - self.left;
        const int height = self.bottom - self.top;
        int left;
        if (anchorRect.right + width <= work.right)
            left = anchorRect.right;
        else if (anchorRect.left - width >= work.left)
            left = anchorRect.left - width;
        else if (work.right - anchorRect.right >= anchorRect.left - work.left)
            left = work.right - width; // covers as little of the dialog as the screen allows
        else
            left = work.left;
        const int top =
            std::max<int>(work.top, std::min<int>(anchorRect.top, work.bottom - height));
        SetWindowPos(Handle(), nullptr, left, top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    Show();
}

} // namespace kal
