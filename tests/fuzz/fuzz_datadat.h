// One input of the Data.dat reader, as the fuzzer and the corpus replay feed it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kal {

// Reads `data` as a raw configuration record and, when it starts like a zlib
// stream, also as a compressed Data.dat. A clean stream error is an expected
// outcome; anything else (a crash, a sanitizer report, another exception)
// is a finding. After a failed load the object must still save and destroy.
void FuzzDataDat(const std::uint8_t* data, std::size_t size);

} // namespace kal
