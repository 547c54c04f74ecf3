// libFuzzer entry for the Data.dat reader.
#include "fuzz_datadat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kal::FuzzDataDat(data, size);
    return 0;
}
