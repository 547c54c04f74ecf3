#include "UStreams.h"

#include "UText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kal {

void TStream::ReadBuffer(void* buffer, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        const std::size_t got = Read(out, count);
        if (got == 0)
            throw EReadError();
        out += got;
        count -= got;
    }
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (count > 0) {
        const std::size_t put = Write(in, count);
        if (put == 0)
            throw EWriteError();
        in += put;
        count -= put;
    }
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
    if (FPosition >= FData.size())
        return 0;
    const std::size_t n = std::min(count, FData.size() - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, n);
    FPosition += n;
    return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0)
        return 0;
    if (FPosition + count > FData.size())
        FData.resize(FPosition + count);
    std::memcpy(FData.data() + FPosition, buffer, count);
    FPosition += count;
    return count;
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : FFileName(fileName) {
    FFile = std::fopen(fileName.c_str(), mode == TFileMode::fmCreate ? "wb" : "rb");
    if (!FFile) {
        const char* reason = std::strerror(errno);
        throw EFOpenError(std::string(mode == TFileMode::fmCreate ? "Cannot create file \""
                                                                  : "Cannot open file \"") +
                          fileName + "\". " + reason);
    }
}

TFileStream::~TFileStream() {
    if (FFile)
        std::fclose(FFile);
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
    return FFile ? std::fread(buffer, 1, count, FFile) : 0;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
    return FFile ? std::fwrite(buffer, 1, count, FFile) : 0;
}

void TFileStream::FlushToDisk() {
    if (!FFile)
        return;
    bool ok = std::fflush(FFile) == 0;
#ifdef _WIN32
    ok = ok && _commit(_fileno(FFile)) == 0;
#else
    ok = ok && fsync(fileno(FFile)) == 0;
#endif
    if (!ok)
        throw EWriteError("Cannot write file \"" + FFileName + "\". " + std::strerror(errno));
}

void TFileStream::Close() {
    if (!FFile)
        return;
    std::FILE* f = FFile;
    FFile = nullptr;
    if (std::fclose(f) != 0)
        throw EWriteError("Cannot write file \"" + FFileName + "\". " + std::strerror(errno));
}

namespace {
template <typename T> void WriteLE(TStream& s, T v) {
    std::uint8_t bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i));
    s.WriteBuffer(bytes, sizeof(T));
}

template <typename T> T ReadLE(TStream& s) {
    std::uint8_t bytes[sizeof(T)];
    s.ReadBuffer(bytes, sizeof(T));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return static_cast<T>(v);
}
} // namespace

void WriteUInt8(TStream& s, std::uint8_t v) {
    s.WriteBuffer(&v, 1);
}
void WriteUInt16(TStream& s, std::uint16_t v) {
    WriteLE(s, v);
}
void WriteUInt32(TStream& s, std::uint32_t v) {
    WriteLE(s, v);
}
void WriteInt32(TStream& s, std::int32_t v) {
    WriteLE(s, static_cast<std::uint32_t>(v));
}

void WriteDouble(TStream& s, double v) {
    std::uint64_t bits;
    static_assert(sizeof bits == sizeof v);
    std::memcpy(&bits, &v, sizeof bits);
    WriteLE(s, bits);
}

void WriteString(TStream& s, std::string_view v) {
    WriteInt32(s, static_cast<std::int32_t>(v.size()));
    s.WriteBuffer(v.data(), v.size());
}

std::uint8_t ReadUInt8(TStream& s) {
    std::uint8_t v;
    s.ReadBuffer(&v, 1);
    return v;
}
std::uint16_t ReadUInt16(TStream& s) {
    return ReadLE<std::uint16_t>(s);
}
std::uint32_t ReadUInt32(TStream& s) {
    return ReadLE<std::uint32_t>(s);
}
std::int32_t ReadInt32(TStream& s) {
    return static_cast<std::int32_t>(ReadLE<std::uint32_t>(s));
}

double ReadDouble(TStream& s) {
    const std::uint64_t bits = ReadLE<std::uint64_t>(s);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::string ReadString(TStream& s) {
    const std::int32_t length = ReadInt32(s);
    if (length < 0)
        throw EReadError("Invalid string length " + std::to_string(length));
    // Grow with the data actually read, so a damaged length cannot demand gigabytes.
    constexpr std::size_t chunk = 64 * 1024;
    std::string text;
    std::size_t left = static_cast<std::size_t>(length);
    while (left > 0) {
        const std::size_t n = std::min(left, chunk);
        const std::size_t at = text.size();
        text.resize(at + n);
        s.ReadBuffer(text.data() + at, n);
        left -= n;
    }
    // Files written before the program spoke UTF-8 hold legacy ANSI bytes.
    return FromLegacyText(text);
}

std::int32_t ReadCount(TStream& s, const char* what) {
    const std::int32_t count = ReadInt32(s);
    if (count < 0)
        throw EReadError(std::string("Invalid ") + what + " count " + std::to_string(count));
    return count;
}

} // namespace kal
