// Replays every kept input of the Data.dat reader: the damaged samples, the
// fuzzer's starting inputs and every input that ever failed under the fuzzer.
#include "fuzz_datadat.h"
#include "UDataFile.h"
#include "URSync.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs() {
    const char* source = std::getenv("KAL_SOURCE_DIR");
    std::vector<fs::path> files;
    if (!source)
        return files;
    for (const char* folder :
         {"tests/samples/datadat", "tests/samples/fuzz-starters", "tests/samples/fuzz-findings"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fs::path(source) / folder, error))
            if (entry.is_regular_file() && entry.path().extension() != ".py" &&
                entry.path().extension() != ".txt" && entry.path().extension() != ".md")
                files.push_back(entry.path());
    }
    return files;
}

TEST(DataDatCorpus, EveryKeptInputLoadsOrFailsCleanly) {
    const auto files = Inputs();
    ASSERT_FALSE(files.empty()) << "no corpus found; is KAL_SOURCE_DIR set?";
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        EXPECT_NO_THROW(kal::FuzzDataDat(bytes.data(), bytes.size()));
    }
}

// A starting input the reader refuses would start the fuzzer in the error paths only.
TEST(DataDatCorpus, EveryStartingInputIsAValidConfiguration) {
    const char* source = std::getenv("KAL_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    int starters = 0;
    for (const auto& entry :
         fs::directory_iterator(fs::path(source) / "tests/samples/fuzz-starters")) {
        if (entry.path().extension() != ".dat")
            continue;
        SCOPED_TRACE(entry.path().string());
        ++starters;
        kal::TRSync fromFile;
        EXPECT_NO_THROW(kal::LoadDataFile(fromFile, entry.path().string()));
        EXPECT_EQ(fromFile.GroupCount(), 4);

        fs::path raw = entry.path();
        raw.replace_extension(".raw");
        std::ifstream in(raw, std::ios::binary);
        kal::TMemoryStream stream(std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                                            std::istreambuf_iterator<char>()));
        ASSERT_GT(stream.Size(), 0u);
        kal::TRSync fromRecord;
        EXPECT_NO_THROW(fromRecord.LoadFromStream(stream));
        EXPECT_EQ(fromRecord.ProfileCount(), fromFile.ProfileCount());
        EXPECT_EQ(stream.Position(), stream.Size()) << "the record has bytes left over";
    }
    EXPECT_GE(starters, 4);
}

} // namespace
