// Byte streams and the little-endian record encoding shared by every persisted
// class (events, profiles, groups, the configuration root).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kal {

// Every stream failure. Loading code catches this one type.
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A stream that ended before the bytes asked for: "Stream read error".
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
    using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("Stream write error") {}
    using EStreamError::EStreamError;
};

// A file that cannot be created or opened; names the file and the system's reason.
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to count bytes; returns how many arrived (0 at the end).
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    // Writes up to count bytes; returns how many were taken.
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;

    // All or nothing: a short read raises EReadError, a short write EWriteError.
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);
};

class TMemoryStream final : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes) : FData(std::move(bytes)) {}

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;

    const std::vector<std::uint8_t>& Bytes() const { return FData; }
    std::size_t Position() const { return FPosition; }
    void SetPosition(std::size_t position) { FPosition = position; }
    std::size_t Size() const { return FData.size(); }

private:
    std::vector<std::uint8_t> FData;
    std::size_t FPosition = 0;
};

enum class TFileMode { fmOpenRead, fmCreate };

// A plain binary file. fmCreate creates or truncates.
class TFileStream final : public TStream {
public:
    TFileStream(const std::string& fileName, TFileMode mode);
    ~TFileStream() override;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;

    // Pushes buffered bytes to the operating system and then to the disk.
    void FlushToDisk();
    // Closes now, raising EWriteError when buffered data could not be written.
    void Close();
    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
    std::FILE* FFile = nullptr;
};

// Little-endian fixed-width integers, IEEE doubles and length-prefixed UTF-8 strings.
void WriteUInt8(TStream& s, std::uint8_t v);
void WriteUInt16(TStream& s, std::uint16_t v);
void WriteUInt32(TStream& s, std::uint32_t v);
void WriteInt32(TStream& s, std::int32_t v);
void WriteDouble(TStream& s, double v);
// 32-bit signed length, then the bytes, no terminator.
void WriteString(TStream& s, std::string_view v);

std::uint8_t ReadUInt8(TStream& s);
std::uint16_t ReadUInt16(TStream& s);
std::uint32_t ReadUInt32(TStream& s);
std::int32_t ReadInt32(TStream& s);
double ReadDouble(TStream& s);
// A negative length raises EReadError; an absurd one fails with "Stream read error"
// once the stream runs dry, having allocated no more than the bytes that exist.
// Text that is not UTF-8 is taken as the legacy ANSI code page and converted.
std::string ReadString(TStream& s);
// A count that must not be negative (profiles, paths, members); `what` names it.
std::int32_t ReadCount(TStream& s, const char* what);

} // namespace kal
