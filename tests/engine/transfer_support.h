// Test doubles shared by the transfer and scheduled-run tests.
#pragma once

#include "URSync.h"
#include "URSyncProcess.h"
#ifndef _WIN32
#include "output_messages.h"
#endif

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kal::test {

constexpr int CSIDL_PERSONAL = 0x05;
constexpr int CSIDL_LOCAL_APPDATA = 0x1C;

// Well-known folders of a machine the test describes; every folder it names exists,
// and so do the Present ones and the real folders of this machine.
class TTestShellFolders : public IShellFolders {
public:
    std::map<int, std::string> Folders;
    std::set<std::string> Present;
    bool Fail = false; // the shell itself breaks down

    bool GetSpecialFolderPath(int csidl, std::string& path) override {
        if (Fail)
            throw std::runtime_error("shell folders unavailable");
        const auto it = Folders.find(csidl);
        if (it == Folders.end())
            return false;
        path = it->second;
        return true;
    }
    bool FolderExists(const std::string& path) override {
        for (const auto& entry : Folders)
            if (entry.second == path)
                return true;
        return Present.contains(path) || DirectoryExists(path);
    }
    // Folders a run asked for, made only in this description of the machine.
    std::vector<std::string> Created;
    bool CreateFolders(const std::string& path) override {
        Created.push_back(path);
        Present.insert(path);
        return true;
    }
};

// Installs a provider for the life of the test.
class TShellFoldersScope {
public:
    explicit TShellFoldersScope(IShellFolders& provider) { SetShellFolders(&provider); }
    ~TShellFoldersScope() { SetShellFolders(nullptr); }
    TShellFoldersScope(const TShellFoldersScope&) = delete;
    TShellFoldersScope& operator=(const TShellFoldersScope&) = delete;
};

// The remote destination of the examples: host "store", module Master.
inline TRemoteHost& UseStore(TRSync& sync) {
    auto host = std::make_unique<TRemoteHost>();
    TRemoteHost& result = *host;
    host->SetHost("store");
    sync.SetServer(std::move(host));
    sync.SetModule("Master");
    return result;
}

// Starts a run of the items and returns its runner once it has ended.
inline std::shared_ptr<TRSyncProcess> RunAndWait(TRSync& sync,
                                                 const std::vector<std::string>& items) {
    sync.RunTransfer(items, 0, 0);
    sync.WaitForProcess();
    return sync.ProcessRef();
}

#ifndef _WIN32
// The terminal as the runner sees it: every message, in the order received.
class TOutputRecorder : public TMessageOutput {
public:
    struct TMessage {
        unsigned Message;
        std::string Text;
    };

    void Receive(unsigned message, char* text, std::intptr_t) override {
        std::lock_guard lock(FMutex);
        FMessages.push_back({message, text ? std::string(text) : ""});
        FChanged.notify_all();
    }

    std::vector<TMessage> Messages() const {
        std::lock_guard lock(FMutex);
        return FMessages;
    }
    // Texts of one kind of message, in order.
    std::vector<std::string> Texts(unsigned message) const {
        std::vector<std::string> texts;
        for (const auto& m : Messages())
            if (m.Message == message)
                texts.push_back(m.Text);
        return texts;
    }
    std::string Output() const {
        std::string all;
        for (const auto& text : Texts(WM_CONSOLE_OUTPUT))
            all += text;
        return all;
    }
    int Count(unsigned message) const { return static_cast<int>(Texts(message).size()); }

    bool WaitFor(const std::function<bool(const std::vector<TMessage>&)>& ready,
                 std::chrono::milliseconds timeout) {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, timeout, [&] { return ready(FMessages); });
    }

private:
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<TMessage> FMessages;
};
#endif

} // namespace kal::test
