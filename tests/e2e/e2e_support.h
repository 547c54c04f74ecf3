// Folders, configurations and files for tests that run the real program.
#pragma once

#include "kal_driver.h"
#include "UDataFile.h"
#include "URSync.h"
#include "UTrayForm.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kal::e2e {

// A host path ("/work/...") as the Windows program sees it ("Z:\work\...").
std::string WindowsPath(const std::string& hostPath);
// A fresh, empty folder for one test under the build tree.
std::string ScratchFolder(const std::string& name);
// Copies Kalvaren.exe into `folder`; Data.dat and Settings.ini then lie beside it.
std::string InstallProgram(const std::string& folder);
std::string ArgRecorder();

void WriteConfig(const std::string& folder, const std::function<void(TRSync&)>& setup);
std::unique_ptr<TRSync> ReadConfig(const std::string& folder);
std::string ReadFile(const std::string& fileName);
void WriteFile(const std::string& fileName, const std::string& text);
bool FileExists(const std::string& fileName);
// Lines of a file written by the argument recorder, trimmed of line ends.
std::vector<std::string> ReadLines(const std::string& fileName);

// Removes what the program's start-up handling writes to the registry.
void CleanRegistry();
// The tray base of a main window built in the test's process, as a standard
// user has it: the machine's keys refuse writes; no switches, no shell icon.
TTrayEnvironment StandardUserTray();

// A file or folder of the fixture's mail server `name` (tests/fixtures/README.md).
std::filesystem::path MailFixture(const std::string& name, const std::string& entry);
// The key=value files of the messages the server recorded for `rcpt`.
std::vector<std::filesystem::path> MessagesFor(const std::string& name, const std::string& rcpt);
// What the server recorded of the first message sent to `rcpt`: its key=value
// lines (or its decoded body, `part` ".body"), or nothing.
std::string RecordedFor(const std::string& name, const std::string& rcpt,
                        const std::string& part = ".env");
// `text` with "<port>" replaced by the port of the fixture's server `server`.
std::string WithPort(std::string text, const std::string& server);

// Where screenshots of the program go: <build>/screenshots.
std::string ScreenshotFolder();

} // namespace kal::e2e
