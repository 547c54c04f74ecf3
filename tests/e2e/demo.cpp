// kal_demo <Kalvaren.exe> <folder to back up> <screenshot folder>
//
// What a new user does first, done through the real program: a profile is
// created, a folder is added, Backup is pressed, and the run is awaited in the
// Backup Terminal. Prints the terminal's text; exits 0 when the run completed.
#include "user_steps.h"
#include "UMainForm.h"

#include <cstdio>
#include <string>

using namespace kal;
using namespace kal::e2e;

namespace {

int Fail(const char* step) {
    std::fprintf(stderr, "demo: %s\n", step);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return Fail("usage: kal_demo <Kalvaren.exe> <folder to back up> <screenshot folder>");
    const std::string exe = argv[1], source = argv[2], shots = std::string(argv[3]) + "\\";
    const std::string folder = exe.substr(0, exe.find_last_of('\\'));
    CreateDirectoryA(argv[3], nullptr);

    TProgram program(exe, "", folder);
    HWND main = program.WaitForWindow("Kalvaren", 60s, "KalvarenMainForm");
    if (!main || !WaitUntil([&] { return Visible(main); }))
        return Fail("Kalvaren's window did not appear");
    HWND profiles = FindChild(main, TMainForm::idProfiles);
    const std::size_t before = ListLines(profiles).size();
    Click(FindChild(main, TMainForm::idNewProfile));
    HWND prompt = program.WaitForWindow("New Profile");
    if (!prompt)
        return Fail("no \"New Profile\" prompt");
    SaveScreenshot(prompt, shots + "1-new-profile.png");
    Click(FindChild(prompt, IDOK));
    if (!WaitUntil([&] { return ListLines(profiles).size() == before + 1; }))
        return Fail("the profile was not created");

    Click(FindChild(main, TMainForm::idAddFolder));
    if (!PickFolder(program, source, shots + "2-add-folder.png"))
        return Fail("the folder picker did not take the folder");
    if (!WaitUntil([&] { return !ListLines(FindChild(main, TMainForm::idFilePath)).empty(); }))
        return Fail("the folder was not added");
    SaveScreenshot(main, shots + "3-profile.png");

    Click(FindChild(main, TMainForm::idBackup));
    HWND terminal = program.WaitForWindow("Backup Terminal", 60s);
    if (!terminal)
        return Fail("no Backup Terminal");
    auto output = [&] {
        return Text(TerminalPanes(terminal).at(0));
    };
    const bool complete =
        WaitUntil([&] { return output().find("Transfer Complete.") != std::string::npos; }, 120s);
    SaveScreenshot(terminal, shots + "4-backup-terminal.png");
    std::printf("%s\n", output().c_str());
    const std::string errors = Text(TerminalPanes(terminal).at(1));
    if (!errors.empty())
        std::fprintf(stderr, "%s\n", errors.c_str());
    return complete ? 0 : Fail("the backup did not complete");
}
