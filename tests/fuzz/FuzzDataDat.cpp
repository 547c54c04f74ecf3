#include "FuzzDataDat.h"

#include "UDataFile.h"
#include "URSync.h"

#include <vector>

namespace kal {

namespace {
void LoadThenSave(TStream& input, bool compressed) {
    TRSync sync;
    try {
        if (compressed) {
            TDecompressionStream inflated(input);
            sync.LoadFromStream(inflated);
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
