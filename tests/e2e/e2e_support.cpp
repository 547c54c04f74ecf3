#include "e2e_support.h"

#include <shellapi.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kal::e2e {

std::string WindowsPath(const std::string& hostPath) {
    if (hostPath.size() > 1 && hostPath[1] == ':')
        return hostPath;
    std::string path = "Z:" + hostPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

namespace {
std::string BinaryDir() {
    const char* dir = std::getenv("KAL_BINARY_DIR");
    if (!dir)
        throw std::runtime_error("KAL_BINARY_DIR is not set");
    return WindowsPath(dir);
}

void RemoveTree(const std::string& folder) {
    std::string from = folder + '\0';
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationA(&op);
}
} // namespace

std::string ScratchFolder(const std::string& name) {
    const std::string root = BinaryDir() + "\\e2e-scratch";
    CreateDirectoryA(root.c_str(), nullptr);
    const std::string folder = root + "\\" + name;
    RemoveTree(folder);
    if (!CreateDirectoryA(folder.c_str(), nullptr))
        throw std::runtime_error("cannot create " + folder);
    return folder;
}

std::string InstallProgram(const std::string& folder) {
    const std::string target = folder + "\\Kalvaren.exe";
    if (!CopyFileA(WindowsPath(KAL_PROGRAM).c_str(), target.c_str(), FALSE))
        throw std::runtime_error("cannot copy Kalvaren.exe to " + folder);
    return target;
}

std::string ArgRecorder() {
    return WindowsPath(KAL_ARGRECORDER);
}

void WriteConfig(const std::string& folder, const std::function<void(TRSync&)>& setup) {
    TRSync sync;
    setup(sync);
    SaveDataFile(sync, folder + "\\Data.dat");
}

std::unique_ptr<TRSync> ReadConfig(const std::string& folder) {
    auto sync = std::make_unique<TRSync>();
    LoadDataFile(*sync, folder + "\\Data.dat");
    return sync;
}

std::string ReadFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& fileName, const std::string& text) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out << text;
}

bool FileExists(const std::string& fileName) {
    return GetFileAttributesA(fileName.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> ReadLines(const std::string& fileName) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(fileName));
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void CleanRegistry() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        HKEY run = nullptr;
        if (RegOpenKeyExA(root, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                          KEY_ALL_ACCESS, &run) == ERROR_SUCCESS) {
            RegDeleteValueA(run, "Kalvaren");
            RegCloseKey(run);
        }
        RegDeleteKeyA(root, "Software\\Kalvaren");
    }
}

TTrayEnvironment StandardUserTray() {
    TTrayEnvironment environment;
    environment.RefusesWrites = [](HKEY root) {
        return root == HKEY_LOCAL_MACHINE;
    };
    environment.Arguments = std::vector<std::string>{};
    environment.NotifyIcon = [](DWORD, NOTIFYICONDATAA*) {
        return TRUE;
    };
    return environment;
}

std::filesystem::path MailFixture(const std::string& name, const std::string& entry) {
    const char* binary = std::getenv("KAL_BINARY_DIR");
    return "Z:" + std::string(binary ? binary : "") + "/smtp_fixture/" + name + "/" + entry;
}

std::vector<std::filesystem::path> MessagesFor(const std::string& name, const std::string& rcpt) {
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(MailFixture(name, "mail"), error))
        if (entry.path().extension() == ".env" &&
            ReadFile(entry.path().string()).find("\nrcpt=" + rcpt + "\n") != std::string::npos)
            found.push_back(entry.path());
    return found;
}

std::string RecordedFor(const std::string& name, const std::string& rcpt, const std::string& part) {
    const auto found = MessagesFor(name, rcpt);
    return found.empty()
               ? ""
               : ReadFile(std::filesystem::path(found[0]).replace_extension(part).string());
}

std::string WithPort(std::string text, const std::string& server) {
    const auto at = text.find("<port>");
    if (at == std::string::npos)
        return text;
    return text.replace(at, 6,
                        std::to_string(std::stoi(ReadFile(MailFixture(server, "port").string()))));
}

std::string ScreenshotFolder() {
    const std::string folder = BinaryDir() + "\\screenshots";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

} // namespace kal::e2e
