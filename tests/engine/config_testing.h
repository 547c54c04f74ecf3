// Helpers shared by the configuration and Data.dat tests.
#pragma once

#include "URSync.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kal::test {

using Bytes = std::vector<std::uint8_t>;

inline std::vector<std::string> Names(const std::vector<TRSyncProfile*>& profiles) {
    std::vector<std::string> names;
    for (const TRSyncProfile* p : profiles)
        names.push_back(p->Name());
    return names;
}
inline std::vector<std::string> ProfileNames(const TRSync& sync) {
    return Names(sync.ProfileList());
}
inline std::vector<std::string> MemberNames(const TRSyncProfileGroup& group) {
    return Names(group.Members());
}

inline Bytes RecordOf(const TRSync& sync) {
    TMemoryStream s;
    sync.SaveToStream(s);
    return s.Bytes();
}

inline void LoadRecord(TRSync& sync, const Bytes& bytes) {
    TMemoryStream s(bytes);
    sync.LoadFromStream(s);
}

inline Bytes ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder under the system's temporary folder, removed at the end.
class TTempFolder {
public:
    TTempFolder() {
        static int serial = 0;
        FPath = std::filesystem::temp_directory_path() /
                ("kal_config_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "_" +
                 std::to_string(++serial));
        std::filesystem::remove_all(FPath);
        std::filesystem::create_directories(FPath);
    }
    ~TTempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

inline std::filesystem::path SamplesFolder() {
    const char* source = std::getenv("KAL_SOURCE_DIR");
    return std::filesystem::path(source ? source : ".") / "tests" / "samples" / "datadat";
}

} // namespace kal::test

namespace kal::test {

// Due times lie years ahead, so the schedule thread never fires a test's profile.
// Every setting away from its default, a remote destination, three profiles with
// paths, folders and schedules, and two groups.
inline void Populate(TRSync& sync) {
    sync.SetFlags(0x80101DFF);
    sync.SetPort(2873);
    sync.SetBandwidth(512);
    sync.SetOutputAutoCloseDelay(10);
    sync.SetLogFile("C:\\Logs\\rsync.log");
    sync.SetLogFormat("%t %f %b");
    sync.SetOutputFormat("%n");
    sync.SetPasswordFile("C:\\Secrets\\pw.txt");
    auto remote = std::make_unique<TRemoteHost>();
    remote->SetUser("alice");
    remote->SetHost("backup.example");
    sync.SetServer(std::move(remote));
    sync.SetModule("alice-module");
    sync.SetRSyncLocation("D:\\Tools\\rsync.exe");
    sync.SetEmailRecipient("boss@example.com; me@example.com");
    sync.SetEmailFrom("me@example.com");
    sync.SetEmailServer("smtp.example.com");
    sync.SetEmailPassword("p\xC3\xA4ss word");

    auto* a = TRSyncProfile::Create(sync, "Alpha");
    a->AddPath("C:\\Users\\alice\\Work");
    a->AddPath("C:\\Users\\alice\\notes.txt");
    a->SetCommonSources({csDesktop, csOutlook});
    a->SetDateTime(48000.25);
    a->SetProfileEvent(reDaily);
    auto* b = TRSyncProfile::Create(sync, "Beta");
    b->AddPath("E:\\Photos");
    b->SetDateTime(47990.5);
    b->SetProfileEvent(reMonthly);
    auto* c = TRSyncProfile::Create(sync, "Gamma");
    c->SetCommonSources({csMyMusic, csThunderBird, csSharedVideos});
    c->SetDateTime(48100.0);

    auto* restore = TRSyncProfileGroup::Create(sync, "StartupRestore", true);
    restore->Add(c);
    restore->Add(a);
    auto* custom = TRSyncProfileGroup::Create(sync, "Custom", false);
    custom->Add(b);
}

} // namespace kal::test
