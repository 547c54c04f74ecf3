#include "hardening_support.h"

#include "URSync.h"

namespace kal::hardening {

void FillConfiguration(TRSync& sync, int profiles, int generation) {
    const std::string g = std::to_string(generation);
    sync.SetFlags(TRSync::DefaultFlags ^ (static_cast<std::uint32_t>(generation & 1) << 9));
    sync.SetPort(static_cast<std::uint16_t>(873 + generation));
    sync.SetBandwidth(static_cast<std::uint16_t>(generation * 10));
    sync.SetOutputAutoCloseDelay(generation);
    sync.SetLogFile("C:\\Logs\\rsync-" + g + ".log");
    sync.SetModule("Account" + g);
    sync.SetEmailRecipient("owner" + g + "@example.com");

    // Due long after any test ends: a save must not race a scheduled run.
    const TDateTime base = EncodeDateTime(2090, 1, 1 + generation % 28, 8);
    for (int i = 0; i < profiles; ++i) {
        auto* profile = TRSyncProfile::Create(sync, "Profile " + std::to_string(i) + " g" + g);
        profile->AddPath("D:\\Data\\g" + g + "\\" + std::to_string(i));
        if (i % 7 == 0)
            profile->SetCommonSources({csDesktop, csMyDocuments});
        profile->SetDateTime(base + i / 24.0);
        profile->SetProfileEvent(
            static_cast<TRSyncProfileEvent>((i + generation) % (reYearly + 1)));
    }
    const char* names[] = {"StartupRestore", "ShutdownRestore", "StartupBackup", "ShutdownBackup"};
    for (int n = 0; n < 4; ++n) {
        auto* group = TRSyncProfileGroup::Create(sync, names[n], n < 2);
        for (int i = n + generation % 3; i < profiles; i += 50)
            group->Add(sync.GetProfile(i));
    }
}

std::string RawRecord(const TRSync& sync) {
    TMemoryStream stream;
    sync.SaveToStream(stream);
    const auto& bytes = stream.Bytes();
    return std::string(bytes.begin(), bytes.end());
}

std::string Describe(const TResources& r) {
    std::string text = "memory " + std::to_string(r.ResidentKb) + " kB";
    if (r.Descriptors >= 0)
        text += ", descriptors " + std::to_string(r.Descriptors);
    if (r.Handles >= 0)
        text += ", handles " + std::to_string(r.Handles);
    return text + ", threads " + std::to_string(r.Threads);
}

} // namespace kal::hardening
