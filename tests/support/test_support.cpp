#include "test_support.h"
#include "child_platform.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace kal::test {

TempDir::TempDir(const std::string& tag) {
    std::random_device entropy;
    std::mt19937_64 random(entropy());
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / (tag + "-" + std::to_string(random() % 1000000000000ULL));
        if (fs::create_directory(candidate)) {
            FPath = std::move(candidate);
            return;
        }
    }
    throw std::runtime_error("TempDir: cannot create a folder in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(FPath, ignored);
}

fs::path TempDir::operator/(const std::string& relative) const {
    return FPath / fs::path(std::u8string(relative.begin(), relative.end()));
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env)
    : FChild(StartChild(argv, env)) {
    StartReaders();
}

ChildProcess::ChildProcess(const RawCommandLine& commandLine, const Environment& env)
    : FChild(StartChild(commandLine, env)) {
    StartReaders();
}

void ChildProcess::StartReaders() {
    auto reader = [this](Stream stream) {
        char buffer[4096];
        for (;;) {
            const std::size_t got = FChild->Read(stream, buffer, sizeof buffer);
            std::lock_guard lock(FMutex);
            if (got == 0) {
                --FOpenStreams;
                FChanged.notify_all();
                return;
            }
            (stream == Stream::Out ? FOut : FErr).append(buffer, got);
            FChanged.notify_all();
        }
    };
    FOutReader = std::thread(reader, Stream::Out);
    FErrReader = std::thread(reader, Stream::Err);
}

ChildProcess::~ChildProcess() {
    if (FChild->Running())
        FChild->Kill();
    FChild->Wait();
    FOutReader.join();
    FErrReader.join();
}

bool ChildProcess::WaitFor(
    const std::function<bool(const std::string& out, const std::string& err)>& ready,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(FMutex);
    bool met = false;
    FChanged.wait_for(lock, timeout, [&] {
        met = ready(FOut, FErr);
        return met || FOpenStreams == 0;
    });
    return met;
}

bool ChildProcess::Running() {
    return FChild->Running();
}

int ChildProcess::Wait() {
    const int code = FChild->Wait();
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FOpenStreams == 0; });
    return code;
}

void ChildProcess::Terminate() {
    FChild->Terminate();
}
void ChildProcess::Kill() {
    FChild->Kill();
}

std::string ChildProcess::Out() const {
    std::lock_guard lock(FMutex);
    return FOut;
}

std::string ChildProcess::Err() const {
    std::lock_guard lock(FMutex);
    return FErr;
}

namespace {
template <typename Command> CommandResult Run(const Command& command, const Environment& env) {
    ChildProcess child(command, env);
    CommandResult result;
    result.ExitCode = child.Wait();
    result.Out = child.Out();
    result.Err = child.Err();
    return result;
}
} // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const Environment& env) {
    return Run(argv, env);
}

CommandResult RunCommand(const RawCommandLine& commandLine, const Environment& env) {
    return Run(commandLine, env);
}

void WriteTextFile(const fs::path& path, const std::string& content) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string ReadTextFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::map<std::string, std::string> ReadTree(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const auto relative = entry.path().lexically_relative(root).generic_u8string();
        std::string name(relative.begin(), relative.end());
        tree[name] = entry.is_directory() ? "<dir>" : ReadTextFile(entry.path());
    }
    return tree;
}

std::string CompareTrees(const fs::path& expected, const fs::path& actual) {
    return MapDifferences(ReadTree(expected), ReadTree(actual));
}

RsyncDaemonInfo FixtureDaemon() {
    std::string state = HostVariable("KAL_RSYNCD_STATE");
    if (state.empty()) {
        const std::string build = HostVariable("KAL_BINARY_DIR");
        if (build.empty())
            throw std::runtime_error("FixtureDaemon: neither KAL_RSYNCD_STATE nor KAL_BINARY_DIR");
        state = build + "/tests/fixtures/rsyncd";
    }
    const fs::path folder = FromHostPath(state);
    auto value = [&](const char* name) {
        const fs::path file = folder / name;
        if (!fs::exists(file))
            throw std::runtime_error("FixtureDaemon: no " + file.string() +
                                     " (the kal_rsyncd fixture has not run)");
        std::string text = ReadTextFile(file);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    };
    RsyncDaemonInfo info;
    info.Port = static_cast<unsigned short>(std::stoi(value("port")));
    info.ModulePath = FromHostPath(value("module_path"));
    info.ModuleName = value("module");
    info.User = value("user");
    info.Password = value("password");
    info.PasswordFile = FromHostPath(value("password_file"));
    return info;
}

} // namespace kal::test
