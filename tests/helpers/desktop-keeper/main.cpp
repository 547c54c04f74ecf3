// Holds Wine's desktop for as long as it runs. Wine starts the desktop process
// from whichever program first needs a window, and that process keeps the
// program's output handles open until the last windowed program has gone; were
// the program a test, ctest would wait for the end of its output all that time.
// Started before the tests with its output sent nowhere, this program is the one.
#include <windows.h>

int main() {
    GetDesktopWindow();
    Sleep(INFINITE);
}
