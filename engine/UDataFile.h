// zlib streams (RFC 1950) as TStream adaptors, used for Data.dat.
#pragma once

#include "UStreams.h"

#include <cstdint>
#include <memory>

namespace kal {

// Damaged compressed data; the text is zlib's "Error".
class EDecompressionError : public EStreamError {
public:
    EDecompressionError() : EStreamError("Error") {}
};

class ECompressionError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// Compresses everything written to it into `destination`. Finish() writes the
// rest and the trailer; without it the output is incomplete.
class TCompressionStream final : public TStream {
public:
    static constexpr int DefaultLevel = -1; // zlib's default compression level
    explicit TCompressionStream(TStream& destination, int level = DefaultLevel);
    ~TCompressionStream() override;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    void Finish();

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

// Inflates `source` on demand. Read returns 0 at the end of the compressed data
// or when the source runs dry; damaged data raises EDecompressionError. More
// than `limit` unpacked bytes raise EReadError: a few kilobytes of crafted data
// must not unpack into gigabytes of configuration.
class TDecompressionStream final : public TStream {
public:
    static constexpr std::uint64_t Unlimited = ~std::uint64_t{0};
    explicit TDecompressionStream(TStream& source, std::uint64_t limit = Unlimited);
    ~TDecompressionStream() override;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    // Reads to the end of the compressed data, so its checksum is checked;
    // EDecompressionError when the data is damaged or cut short.
    void VerifyEnd();

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace kal
