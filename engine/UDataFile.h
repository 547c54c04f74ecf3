// Data.dat: reading and writing the configuration file safely, keeping an
// unreadable one aside, and the zlib streams (RFC 1950) it is made of.
#pragma once

#include "UStreams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kal {

class TRSync;

// Data.dat: one zlib stream (RFC 1950, default level) around the TRSync record.
// Loading also checks the stream's end and checksum once the record is read, so a
// damaged tail is reported ("Error") rather than ignored. A file that unpacks to
// more than 64 MB (about twelve times a thousand profiles of a hundred paths) is
// refused with EReadError "The data unpacks to more than 67108864 bytes", so a
// small crafted file cannot make loading allocate gigabytes.
void LoadDataFile(TRSync& sync, const std::string& fileName);
// Writes "<fileName>.tmp" beside the target, flushes it to disk and replaces the
// target in one step. On any failure the old file stays byte for byte, the
// temporary is removed and the error reaches the caller. A leftover temporary of
// a killed save is simply overwritten by the next one.
void SaveDataFile(const TRSync& sync, const std::string& fileName);
// Tests: `wrap` sits between the compressor and the temporary file (to simulate
// a full disk); it returns the stream to write to.
using TSaveStreamWrapper = std::function<std::unique_ptr<TStream>(TStream& file)>;
void SaveDataFile(const TRSync& sync, const std::string& fileName, const TSaveStreamWrapper& wrap);

// What became of a Data.dat that could not be read at start.
struct TDamagedDataFile {
    // The name it is kept under; empty when it could not be kept aside.
    std::string KeptAs;
    // Neither moved nor copied aside: this run must never save over it.
    bool SavingBlocked = false;
    // For the user: why, where the file is, and what happens now.
    std::string Message;
};
// Keeps the user's only copy of an unreadable Data.dat beside it under a name
// that says so: moved to the first free of "Data.dat.damaged", "Data.dat.damaged-2",
// ..., or copied there when it cannot be moved (another program holds it).
// `reason` says why it could not be read. The caller goes on with a new
// configuration.
TDamagedDataFile KeepDamagedDataFile(const std::string& fileName, const std::string& reason);

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
