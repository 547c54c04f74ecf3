// Data.dat: the zlib wrapper, damaged files, and saves that must never leave a
// damaged or half-written file behind.
#include "config_testing.h"

#include "UDataFile.h"

#include <zlib.h>

#include <set>

using namespace kal;
using namespace kal::test;
namespace fs = std::filesystem;

namespace {

Bytes Inflate(const Bytes& compressed) {
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    Bytes out(1 << 20);
    z.next_in = const_cast<Bytes::value_type*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    EXPECT_EQ(status, Z_STREAM_END);
    out.resize(z.total_out);
    return out;
}

// Takes `limit` bytes, then reports a full disk.
class TFullDiskStream final : public TStream {
public:
    TFullDiskStream(TStream& target, std::size_t limit) : FTarget(target), FLeft(limit) {}
    std::size_t Read(void*, std::size_t) override { return 0; }
    std::size_t Write(const void* buffer, std::size_t count) override {
        const std::size_t n = std::min(count, FLeft);
        FLeft -= n;
        return n == 0 ? 0 : FTarget.Write(buffer, n);
    }

private:
    TStream& FTarget;
    std::size_t FLeft;
};

struct TSample {
    std::string File;
    std::string Message;
};

std::vector<TSample> ExpectedSamples() {
    std::ifstream in(SamplesFolder() / "expected.txt");
    std::vector<TSample> samples;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const auto bar = line.find('|');
        samples.push_back({line.substr(0, bar), line.substr(bar + 1)});
    }
    return samples;
}

} // namespace

TEST(DataFile, IsOneZlibStreamAroundTheRecord) {
    TTempFolder temp;
    TRSync sync;
    Populate(sync);
    SaveDataFile(sync, temp.File("Data.dat"));
    const Bytes file = ReadFileBytes(temp.Path() / "Data.dat");
    ASSERT_GE(file.size(), 6u);
    EXPECT_EQ(file[0], 0x78); // deflate, 32K window
    EXPECT_EQ(file[1], 0x9C); // default level
    EXPECT_EQ(Inflate(file), RecordOf(sync));
    EXPECT_FALSE(fs::exists(temp.Path() / "Data.dat.tmp"));

    TRSync fresh;
    SaveDataFile(fresh, temp.File("Fresh.dat"));
    EXPECT_EQ(Inflate(ReadFileBytes(temp.Path() / "Fresh.dat")), RecordOf(fresh));
}

TEST(DataFile, SaveThenLoadRoundTrip) {
    TTempFolder temp;
    TRSync sync;
    Populate(sync);
    SaveDataFile(sync, temp.File("Data.dat"));
    TRSync copy;
    LoadDataFile(copy, temp.File("Data.dat"));
    EXPECT_EQ(RecordOf(copy), RecordOf(sync));
}

TEST(DataFile, StreamsHandleLargeAndEmptyData) {
    Bytes big(3 * 100 * 1000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    TMemoryStream packed;
    {
        TCompressionStream z(packed);
        z.WriteBuffer(big.data(), big.size());
        z.Finish();
    }
    EXPECT_EQ(Inflate(packed.Bytes()).size(), big.size());
    packed.SetPosition(0);
    TDecompressionStream unz(packed);
    Bytes back(big.size());
    unz.ReadBuffer(back.data(), back.size());
    EXPECT_EQ(back, big);
    unz.VerifyEnd();
    std::uint8_t extra;
    EXPECT_THROW(unz.ReadBuffer(&extra, 1), EReadError);

    TMemoryStream empty;
    {
        TCompressionStream z(empty);
        z.Finish();
    }
    empty.SetPosition(0);
    TDecompressionStream none(empty);
    none.VerifyEnd();
}

TEST(DataFile, DamagedSamplesGiveTheirErrors) {
    const auto samples = ExpectedSamples();
    ASSERT_GE(samples.size(), 20u) << "expected.txt not found in " << SamplesFolder();
    // Every sample in the folder has its expectation.
    std::set<std::string> listed;
    for (const auto& s : samples)
        listed.insert(s.File);
    for (const auto& entry : fs::directory_iterator(SamplesFolder())) {
        if (entry.path().extension() == ".dat" && entry.path().filename() != "intact.dat") {
            EXPECT_TRUE(listed.count(entry.path().filename().string()))
                << entry.path().filename() << " has no line in expected.txt";
        }
    }

    for (const auto& sample : samples) {
        SCOPED_TRACE(sample.File);
        TRSync sync;
        std::string message = "(no error)";
        try {
            LoadDataFile(sync, (SamplesFolder() / sample.File).string());
        } catch (const EStreamError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, sample.Message);
        // Still whole: usable, savable, and destroyed at the end of the scope.
        TRSyncProfile::Create(sync, "After");
        const Bytes record = RecordOf(sync);
        TRSync copy;
        LoadRecord(copy, record);
        EXPECT_EQ(copy.ProfileCount(), sync.ProfileCount());
    }
}

TEST(DataFile, IntactSampleLoads) {
    TRSync sync;
    LoadDataFile(sync, (SamplesFolder() / "intact.dat").string());
    ASSERT_EQ(sync.ProfileCount(), 1);
    EXPECT_EQ(sync.GetProfile(0)->Name(), "Home");
    EXPECT_EQ(sync.GetProfile(0)->ProfileEvent(), reWeekly);
    EXPECT_EQ(sync.Module(), "Demo");
    ASSERT_EQ(sync.GroupCount(), 1);
    EXPECT_TRUE(sync.Groups(0)->Contained(sync.GetProfile(0)));
}

TEST(DataFile, SaveFailingHalfWayKeepsThePreviousFile) {
    TTempFolder temp;
    const std::string target = temp.File("Data.dat");
    TRSync previous;
    Populate(previous);
    SaveDataFile(previous, target);
    const Bytes before = ReadFileBytes(target);

    TRSync bigger;
    Populate(bigger);
    for (int i = 0; i < 200; ++i)
        bigger.GetProfile(0)->AddPath("C:\\More\\" + std::to_string(i * 7919));
    for (std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{100},
                              before.size() - 1, std::size_t{600}}) {
        SCOPED_TRACE(limit);
        EXPECT_THROW(SaveDataFile(bigger, target,
                                  [limit](TStream& file) {
                                      return std::make_unique<TFullDiskStream>(file, limit);
                                  }),
                     EWriteError);
        EXPECT_EQ(ReadFileBytes(target), before);
        EXPECT_FALSE(fs::exists(temp.Path() / "Data.dat.tmp"));
    }
}

TEST(DataFile, SaveThatCannotReplaceTheTargetKeepsIt) {
    TTempFolder temp;
    // A folder in the file's place cannot be replaced by a file.
    fs::create_directory(temp.Path() / "Data.dat");
    fs::path inside = temp.Path() / "Data.dat" / "keep.txt";
    WriteFileBytes(inside, {1, 2, 3});
    TRSync sync;
    EXPECT_THROW(SaveDataFile(sync, temp.File("Data.dat")), EStreamError);
    EXPECT_TRUE(fs::is_directory(temp.Path() / "Data.dat"));
    EXPECT_EQ(ReadFileBytes(inside), (Bytes{1, 2, 3}));
    EXPECT_FALSE(fs::exists(temp.Path() / "Data.dat.tmp"));
}

TEST(DataFile, SaveIntoAMissingFolderFails) {
    TTempFolder temp;
    TRSync sync;
    const fs::path target = temp.Path() / "nowhere" / "Data.dat";
    try {
        SaveDataFile(sync, target.string());
        ADD_FAILURE() << "saved into a missing folder";
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("Data.dat.tmp"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(temp.Path() / "nowhere"));
}

TEST(DataFile, LeftoverTemporaryIsReused) {
    TTempFolder temp;
    WriteFileBytes(temp.Path() / "Data.dat.tmp", Bytes(5000, 0xAB));
    TRSync sync;
    Populate(sync);
    SaveDataFile(sync, temp.File("Data.dat"));
    EXPECT_FALSE(fs::exists(temp.Path() / "Data.dat.tmp"));
    TRSync copy;
    LoadDataFile(copy, temp.File("Data.dat"));
    EXPECT_EQ(RecordOf(copy), RecordOf(sync));
}
