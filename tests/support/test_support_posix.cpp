#include "test_support.h"
#include "child_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kal::test {

namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

class Fd {
public:
    explicit Fd(int fd = -1) : FFd(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return FFd; }
    void Close() {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

private:
    int FFd;
};

class PosixChild : public ChildProcess::Platform {
public:
    PosixChild(const std::vector<std::string>& argv, const Environment& env) {
        if (argv.empty())
            throw std::invalid_argument("ChildProcess: no program");
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw SystemError("pipe");
        FOut = std::make_unique<Fd>(out[0]);
        Fd outWrite(out[1]);
        if (::pipe2(err, O_CLOEXEC) != 0)
            throw SystemError("pipe");
        FErr = std::make_unique<Fd>(err[0]);
        Fd errWrite(err[1]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
        posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);

        std::vector<std::string> variables;
        for (char** v = environ; *v; ++v) {
            const std::string entry(*v);
            const std::string name = entry.substr(0, entry.find('='));
            bool replaced = false;
            for (const auto& [key, value] : env)
                replaced = replaced || key == name;
            if (!replaced)
                variables.push_back(entry);
        }
        for (const auto& [key, value] : env)
            variables.push_back(key + "=" + value);
        std::vector<char*> envp, args;
        for (std::string& v : variables)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        std::vector<std::string> argvCopy = argv;
        for (std::string& a : argvCopy)
            args.push_back(a.data());
        args.push_back(nullptr);

        const int failed =
            posix_spawnp(&FPid, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            errno = failed;
            throw SystemError("cannot start " + argv[0]);
        }
    }

    std::size_t Read(Stream stream, char* buffer, std::size_t size) override {
        const int fd = (stream == Stream::Out ? FOut : FErr)->Get();
        for (;;) {
            const ssize_t got = ::read(fd, buffer, size);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR)
                return 0;
        }
    }

    bool Running() override { return !Reap(WNOHANG); }

    int Wait() override {
        Reap(0);
        return FCode;
    }

    void Terminate() override { Signal(SIGTERM); }
    void Kill() override { Signal(SIGKILL); }

private:
    // True once the child has ended and FCode holds its result.
    bool Reap(int options) {
        std::lock_guard lock(FMutex);
        if (FReaped)
            return true;
        int status = 0;
        pid_t done;
        do
            done = ::waitpid(FPid, &status, options);
        while (done < 0 && errno == EINTR);
        if (done != FPid)
            return false;
        FReaped = true;
        FCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    void Signal(int signal) {
        std::lock_guard lock(FMutex);
        if (!FReaped)
            ::kill(FPid, signal);
    }

    pid_t FPid = -1;
    std::unique_ptr<Fd> FOut, FErr;
    std::mutex FMutex;
    bool FReaped = false;
    int FCode = -1;
};

} // namespace

std::unique_ptr<ChildProcess::Platform> StartChild(const std::vector<std::string>& argv,
                                                   const Environment& env) {
    return std::make_unique<PosixChild>(argv, env);
}

std::unique_ptr<ChildProcess::Platform> StartChild(const RawCommandLine& commandLine,
                                                   const Environment& env) {
    return std::make_unique<PosixChild>(std::vector<std::string>{"/bin/sh", "-c", commandLine.Text},
                                        env);
}

std::string HostVariable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

unsigned short FreePort() {
    Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0)
        throw SystemError("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw SystemError("bind 127.0.0.1:0");
    return ntohs(address.sin_port);
}

fs::path FromHostPath(const std::string& hostPath) {
    return fs::path(hostPath);
}

fs::path StandinPath() {
    return fs::path(KAL_STANDIN_PATH);
}

namespace {

bool Accepts(unsigned short port) {
    Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return socket.Get() >= 0 &&
           ::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

std::string RandomPassword() {
    static const char letters[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::random_device entropy;
    std::mt19937 random(entropy());
    std::string password = "kal-";
    for (int i = 0; i < 16; ++i)
        password += letters[random() % (sizeof letters - 1)];
    return password;
}

void WritePrivateFile(const fs::path& path, const std::string& content) {
    WriteTextFile(path, content);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

} // namespace

RsyncDaemon::RsyncDaemon(const std::string& moduleName) : FFolder("kal-rsyncd") {
    FInfo.ModuleName = moduleName;
    FInfo.ModulePath = FFolder / "module";
    FInfo.User = "kal";
    FInfo.Password = RandomPassword();
    FInfo.PasswordFile = FFolder / "password";
    fs::create_directories(FInfo.ModulePath);
    WritePrivateFile(FInfo.PasswordFile, FInfo.Password + "\n");
    WritePrivateFile(FFolder / "rsyncd.secrets", FInfo.User + ":" + FInfo.Password + "\n");

    std::ostringstream config;
    config << "use chroot = no\n";
    // Run as root, the daemon would otherwise switch to "nobody" and be refused
    // writing into the module; as anyone else it stays who it is.
    if (::getuid() == 0)
        config << "uid = 0\ngid = 0\n";
    config << "log file = " << (FFolder / "rsyncd.log").string() << "\n"
           << "[" << moduleName << "]\n"
           << "path = " << FInfo.ModulePath.string() << "\n"
           << "read only = no\n"
           << "auth users = " << FInfo.User << "\n"
           << "secrets file = " << (FFolder / "rsyncd.secrets").string() << "\n";
    WriteTextFile(FFolder / "rsyncd.conf", config.str());

    // Another process may take the free port before the daemon binds it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        FInfo.Port = FreePort();
        FProcess = std::make_unique<ChildProcess>(std::vector<std::string>{
            "rsync", "--daemon", "--no-detach", "--config=" + (FFolder / "rsyncd.conf").string(),
            "--port=" + std::to_string(FInfo.Port), "--address=127.0.0.1"});
        for (int wait = 0; wait < 500 && FProcess->Running(); ++wait) {
            if (Accepts(FInfo.Port))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FProcess.reset();
    }
    std::string log;
    if (fs::exists(FFolder / "rsyncd.log"))
        log = ReadTextFile(FFolder / "rsyncd.log");
    throw std::runtime_error("RsyncDaemon: the daemon did not start\n" + log);
}

RsyncDaemon::~RsyncDaemon() {
    if (FProcess) {
        FProcess->Terminate();
        FProcess->Wait();
    }
}

} // namespace kal::test
