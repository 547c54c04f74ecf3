#include "fuzz_datadat.h"

#include "UDataFile.h"
#include "URSync.h"

#include <algorithm>
#include <vector>

namespace kal {

namespace {

// A small input can inflate a thousandfold, and the fuzzer breeds such inputs:
// past this much (far more than any real configuration) the record is cut short
// instead, which the reader meets at every size anyway. Otherwise inflating
// dominates and the executions per second collapse.
constexpr std::size_t MaxInflated = 256 * 1024;

class TCappedStream final : public TStream {
public:
    TCappedStream(TStream& source, std::size_t cap) : FSource(source), FLeft(cap) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        const std::size_t got = FSource.Read(buffer, std::min(count, FLeft));
        FLeft -= got;
        return got;
    }
    std::size_t Write(const void*, std::size_t) override { throw EWriteError("read only"); }
    bool Exhausted() const { return FLeft == 0; }

private:
    TStream& FSource;
    std::size_t FLeft;
};

void LoadThenSave(TStream& input, bool compressed) {
    TRSync sync;
    try {
        if (compressed) {
            TDecompressionStream inflated(input);
            TCappedStream capped(inflated, MaxInflated);
            sync.LoadFromStream(capped);
            if (!capped.Exhausted())
                inflated.VerifyEnd();
        } else {
            sync.LoadFromStream(input);
        }
    } catch (const EStreamError&) {
        // The expected outcome for a damaged file.
    }
    TMemoryStream out;
    sync.SaveToStream(out);
}
} // namespace

void FuzzDataDat(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    {
        TMemoryStream raw(bytes);
        LoadThenSave(raw, false);
    }
    if (size >= 2 && data[0] == 0x78) {
        TMemoryStream compressed(bytes);
        LoadThenSave(compressed, true);
    }
}

} // namespace kal
