// Load and save times of Data.dat with 1,000 profiles of 100 paths each; then the
// load of 1,000 and of 10,000 profiles of 10 paths each, round after round
// (min / median / max), the larger beside the smaller: a linear load takes about
// ten times as long for ten times the profiles.
#include "UDataFile.h"
#include "URSync.h"
#include "bench_figures.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace kal;

namespace {

double Milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F> double Best(int rounds, F&& run) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, Milliseconds(std::chrono::steady_clock::now() - start));
    }
    return best;
}

// Far-future due times, so the schedule thread fires nothing meanwhile.
void Populate(TRSync& sync, int profiles, int paths) {
    for (int i = 0; i < profiles; ++i) {
        auto* p = TRSyncProfile::Create(sync, "Profile " + std::to_string(i));
        for (int j = 0; j < paths; ++j)
            p->AddPath("C:\\Users\\someone\\Documents\\Project " + std::to_string(i) + "\\folder " +
                       std::to_string(j));
        p->SetDateTime(48000 + i);
        if (i % 2)
            p->SetProfileEvent(reDaily);
    }
    auto* group = TRSyncProfileGroup::Create(sync, "StartupBackup", false);
    for (int i = 0; i < profiles; i += 10)
        group->Add(sync.GetProfile(i));
}

// Load times of a Data.dat of `profiles` x `paths`, in milliseconds, one a round.
std::vector<double> LoadTimes(const std::string& file, int profiles, int paths, int rounds) {
    {
        TRSync sync;
        Populate(sync, profiles, paths);
        SaveDataFile(sync, file);
    }
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        TRSync copy;
        const auto start = std::chrono::steady_clock::now();
        LoadDataFile(copy, file);
        times.push_back(Milliseconds(std::chrono::steady_clock::now() - start));
    }
    return times;
}

} // namespace

// An argument divides the profile counts: the sanitized build's figures say little
// about speed, and its full size takes minutes of a serial test slot.
int main(int argc, char** argv) {
    const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const int profiles = 1000 / scale, paths = 100;
    TRSync sync;
    Populate(sync, profiles, paths);

    const auto file = (std::filesystem::temp_directory_path() / "kal_datafile_bench.dat").string();
    TMemoryStream raw;
    sync.SaveToStream(raw);
    const double record = Best(3, [&] {
        TMemoryStream s;
        sync.SaveToStream(s);
    });
    const double compress = Best(3, [&] {
        TMemoryStream s;
        TCompressionStream z(s);
        sync.SaveToStream(z);
        z.Finish();
    });
    const double save = Best(3, [&] { SaveDataFile(sync, file); });
    const auto size = std::filesystem::file_size(file);
    const double load = Best(3, [&] {
        TRSync copy;
        LoadDataFile(copy, file);
    });
    std::filesystem::remove(file);
    std::printf("Data.dat with %d profiles x %d paths: %llu bytes compressed\n", profiles, paths,
                static_cast<unsigned long long>(size));
    std::printf("record: %zu bytes, written in %.1f ms; compressed in memory: %.1f ms\n",
                raw.Size(), record, compress);
    std::printf("save: %.1f ms (best of 3, to disk with flush; aim < 100 ms)\n", save);
    std::printf("load: %.1f ms (best of 3, including freeing the loaded copy; aim < 100 ms)\n",
                load);

    constexpr int rounds = 3;
    const test::TSpread small = test::Spread(LoadTimes(file, 1000 / scale, 10, rounds));
    const test::TSpread large = test::Spread(LoadTimes(file, 10000 / scale, 10, rounds));
    std::filesystem::remove(file);
    std::printf("Data.dat load, profiles x 10 paths, %d rounds (min / median / max):\n", rounds);
    const std::string few = std::to_string(1000 / scale) + " profiles";
    const std::string many = std::to_string(10000 / scale) + " profiles (linear: 10x)";
    test::PrintBeside(few.c_str(), small, many.c_str(), large, "ms");
    return 0;
}
