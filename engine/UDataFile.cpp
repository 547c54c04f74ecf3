#include "UDataFile.h"

#include "URSync.h"
#include "UFiles.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace kal {

namespace {
constexpr std::size_t BufferSize = 64 * 1024;
// A thousand profiles of a hundred paths unpack to about 5 MB; no real
// configuration comes near this.
constexpr std::uint64_t MaxDataSize = 64 * 1024 * 1024;
} // namespace

// Both adaptors buffer on the record's side: the record arrives and is read in
// pieces of a few bytes, and a zlib call per piece would cost far more than the
// data itself.
struct TCompressionStream::TImpl {
    TStream& Destination;
    z_stream Z{};
    unsigned char In[BufferSize];
    std::size_t Pending = 0;
    unsigned char Out[BufferSize];
    bool Finished = false;

    explicit TImpl(TStream& destination) : Destination(destination) {}

    // Hands `count` bytes to deflate and writes out everything it produces.
    void Deflate(const unsigned char* data, std::size_t count, int flush) {
        Z.next_in = const_cast<unsigned char*>(data);
        Z.avail_in = static_cast<uInt>(count);
        int status;
        do {
            Z.next_out = Out;
            Z.avail_out = BufferSize;
            status = deflate(&Z, flush);
            if (status == Z_STREAM_ERROR)
                throw ECompressionError("Compression error");
            Destination.WriteBuffer(Out, BufferSize - Z.avail_out);
        } while (Z.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    }
};

TCompressionStream::TCompressionStream(TStream& destination, int level)
    : FImpl(std::make_unique<TImpl>(destination)) {
    if (deflateInit(&FImpl->Z, level) != Z_OK)
        throw ECompressionError("Compression error");
}

TCompressionStream::~TCompressionStream() {
    deflateEnd(&FImpl->Z);
}

std::size_t TCompressionStream::Read(void*, std::size_t) {
    throw ECompressionError("Invalid stream operation");
}

std::size_t TCompressionStream::Write(const void* buffer, std::size_t count) {
    TImpl& c = *FImpl;
    if (c.Finished)
        throw ECompressionError("Invalid stream operation");
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t left = count;
    while (left > 0) {
        const std::size_t n = std::min(left, BufferSize - c.Pending);
        std::copy(in, in + n, c.In + c.Pending);
        c.Pending += n;
        in += n;
        left -= n;
        if (c.Pending == BufferSize) {
            c.Deflate(c.In, c.Pending, Z_NO_FLUSH);
            c.Pending = 0;
        }
    }
    return count;
}

void TCompressionStream::Finish() {
    TImpl& c = *FImpl;
    if (c.Finished)
        return;
    c.Deflate(c.In, c.Pending, Z_FINISH);
    c.Pending = 0;
    c.Finished = true;
}

struct TDecompressionStream::TImpl {
    TStream& Source;
    z_stream Z{};
    unsigned char In[BufferSize];
    unsigned char Out[BufferSize];
    std::size_t OutPos = 0;
    std::size_t OutEnd = 0;
    bool Ended = false;
    const std::uint64_t Limit;

    TImpl(TStream& source, std::uint64_t limit) : Source(source), Limit(limit) {}

    // Inflates the next piece into Out; false at the end of the data or when the
    // source has run dry.
    bool Refill() {
        OutPos = OutEnd = 0;
        Z.next_out = Out;
        Z.avail_out = BufferSize;
        while (Z.avail_out == BufferSize && !Ended) {
            if (Z.avail_in == 0) {
                const std::size_t got = Source.Read(In, BufferSize);
                if (got == 0)
                    break; // cut short: the reader sees fewer bytes than it asked for
                Z.next_in = In;
                Z.avail_in = static_cast<uInt>(got);
            }
            const int status = inflate(&Z, Z_NO_FLUSH);
            if (status == Z_STREAM_END)
                Ended = true;
            // A buffer error with input left means no progress is possible.
            else if (status != Z_OK && !(status == Z_BUF_ERROR && Z.avail_in == 0))
                throw EDecompressionError();
        }
        OutEnd = BufferSize - Z.avail_out;
        if (Z.total_out > Limit)
            throw EReadError("The data unpacks to more than " + std::to_string(Limit) + " bytes");
        return OutEnd > 0;
    }
};

TDecompressionStream::TDecompressionStream(TStream& source, std::uint64_t limit)
    : FImpl(std::make_unique<TImpl>(source, limit)) {
    if (inflateInit(&FImpl->Z) != Z_OK)
        throw EDecompressionError();
}

TDecompressionStream::~TDecompressionStream() {
    inflateEnd(&FImpl->Z);
}

std::size_t TDecompressionStream::Read(void* buffer, std::size_t count) {
    TImpl& d = *FImpl;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        if (d.OutPos == d.OutEnd && !d.Refill())
            break;
        const std::size_t n = std::min(count - done, d.OutEnd - d.OutPos);
        std::copy(d.Out + d.OutPos, d.Out + d.OutPos + n, out + done);
        d.OutPos += n;
        done += n;
    }
    return done;
}

std::size_t TDecompressionStream::Write(const void*, std::size_t) {
    throw EDecompressionError();
}

void TDecompressionStream::VerifyEnd() {
    while (FImpl->Refill()) {
    }
    if (!FImpl->Ended)
        throw EDecompressionError();
}

void LoadDataFile(TRSync& sync, const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    TDecompressionStream data(file, MaxDataSize);
    sync.LoadFromStream(data);
    data.VerifyEnd();
}

void SaveDataFile(const TRSync& sync, const std::string& fileName) {
    SaveDataFile(sync, fileName, nullptr);
}

void SaveDataFile(const TRSync& sync, const std::string& fileName, const TSaveStreamWrapper& wrap) {
    // The record is taken under the configuration's lock, into memory; compressing
    // and the disk (perhaps a slow one) then keep the schedule thread waiting for
    // nothing.
    TMemoryStream record;
    sync.SaveToStream(record);
    // A fixed name: the leftover of a killed save is overwritten, not piled up.
    const std::string temporary = fileName + ".tmp";
    try {
        TFileStream file(temporary, TFileMode::fmCreate);
        {
            std::unique_ptr<TStream> wrapped = wrap ? wrap(file) : nullptr;
            TCompressionStream data(wrapped ? *wrapped : static_cast<TStream&>(file));
            data.WriteBuffer(record.Bytes().data(), record.Size());
            data.Finish();
        }
        file.FlushToDisk();
        file.Close();
        ReplaceFileAtomic(temporary, fileName);
    } catch (...) {
        DeleteFileIfExists(temporary);
        throw;
    }
}

} // namespace kal

namespace kal {

namespace {

// The damaged file's new name; throws with the system's reasons when it can be
// neither moved nor copied there.
std::string KeepAside(const std::string& fileName) {
    for (int n = 1; n < 1000; ++n) {
        std::string target = fileName + ".damaged";
        if (n > 1)
            target.append("-").append(std::to_string(n));
        if (platform::PathExists(target))
            continue;
        std::string moveError, copyError;
        if (platform::MoveWithoutReplacing(fileName, target, moveError) ||
            platform::CopyWithoutReplacing(fileName, target, copyError))
            return target;
        std::string message;
        for (const auto& [verb, error] : {std::pair{"move", &moveError}, {"copy", &copyError}}) {
            if (!message.empty())
                message += "\r\n";
            message.append("Cannot ").append(verb).append(" ").append(fileName);
            message.append(" aside failed: ").append(*error);
        }
        throw std::runtime_error(message);
    }
    throw std::runtime_error("Cannot keep " + fileName + " aside: too many damaged copies");
}

} // namespace

TDamagedDataFile KeepDamagedDataFile(const std::string& fileName, const std::string& reason) {
    TDamagedDataFile result;
    result.Message = "Data.dat could not be read: " + reason;
    try {
        result.KeptAs = KeepAside(fileName);
        result.Message += "\r\n\r\nIt has been kept as " + result.KeptAs +
                          ". Kalvaren starts with a new configuration.";
    } catch (const std::exception& e) {
        result.SavingBlocked = true;
        result.Message += "\r\n\r\n" + std::string(e.what()) +
                          "\r\n\r\nKalvaren starts with a new configuration and will not save "
                          "it in this run, so that Data.dat stays as it is.";
    }
    return result;
}

} // namespace kal
