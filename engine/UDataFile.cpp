#include "UDataFile.h"

#include "URSync.h"
#include "URSyncPlatform.h"

#include <zlib.h>

#include <algorithm>

namespace kal {

namespace {
constexpr std::size_t BufferSize = 64 * 1024;
}

struct TCompressionStream::TImpl {
    TStream& Destination;
    z_stream Z{};
    unsigned char Out[BufferSize];
    bool Finished = false;

    explicit TImpl(TStream& destination) : Destination(destination) {}

    // Runs deflate until it has taken all input (or finished) and empties the buffer.
    void Pump(int flush) {
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
    if (FImpl->Finished)
        throw ECompressionError("Invalid stream operation");
    // zlib counts in 32 bits; larger writes go in slices.
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t left = count;
    while (left > 0) {
        const auto slice = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        FImpl->Z.next_in = const_cast<unsigned char*>(in);
        FImpl->Z.avail_in = slice;
        FImpl->Pump(Z_NO_FLUSH);
        in += slice;
        left -= slice;
    }
    return count;
}

void TCompressionStream::Finish() {
    if (FImpl->Finished)
        return;
    FImpl->Z.next_in = nullptr;
    FImpl->Z.avail_in = 0;
    FImpl->Pump(Z_FINISH);
    FImpl->Finished = true;
}

struct TDecompressionStream::TImpl {
    TStream& Source;
    z_stream Z{};
    unsigned char In[BufferSize];
    bool Ended = false;

    explicit TImpl(TStream& source) : Source(source) {}
};

TDecompressionStream::TDecompressionStream(TStream& source)
    : FImpl(std::make_unique<TImpl>(source)) {
    if (inflateInit(&FImpl->Z) != Z_OK)
        throw EDecompressionError();
}

TDecompressionStream::~TDecompressionStream() {
    inflateEnd(&FImpl->Z);
}

std::size_t TDecompressionStream::Read(void* buffer, std::size_t count) {
    TImpl& d = *FImpl;
    if (d.Ended || count == 0)
        return 0;
    d.Z.next_out = static_cast<unsigned char*>(buffer);
    d.Z.avail_out = static_cast<uInt>(std::min<std::size_t>(count, 1u << 30));
    const uInt wanted = d.Z.avail_out;
    while (d.Z.avail_out == wanted) {
        if (d.Z.avail_in == 0) {
            const std::size_t got = d.Source.Read(d.In, BufferSize);
            if (got == 0)
                break; // cut short: the caller sees fewer bytes than it asked for
            d.Z.next_in = d.In;
            d.Z.avail_in = static_cast<uInt>(got);
        }
        const int status = inflate(&d.Z, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            d.Ended = true;
            break;
        }
        // A buffer error with input left means no progress is possible.
        if (status != Z_OK && !(status == Z_BUF_ERROR && d.Z.avail_in == 0))
            throw EDecompressionError();
    }
    return wanted - d.Z.avail_out;
}

std::size_t TDecompressionStream::Write(const void*, std::size_t) {
    throw EDecompressionError();
}

void TDecompressionStream::VerifyEnd() {
    unsigned char scratch[4096];
    while (Read(scratch, sizeof scratch) > 0) {
    }
    if (!FImpl->Ended)
        throw EDecompressionError();
}

void LoadDataFile(TRSync& sync, const std::string& fileName) {
    TFileStream file(fileName, TFileMode::fmOpenRead);
    TDecompressionStream data(file);
    sync.LoadFromStream(data);
    data.VerifyEnd();
}

void SaveDataFile(const TRSync& sync, const std::string& fileName) {
    SaveDataFile(sync, fileName, nullptr);
}

void SaveDataFile(const TRSync& sync, const std::string& fileName, const TSaveStreamWrapper& wrap) {
    // A fixed name: the leftover of a killed save is overwritten, not piled up.
    const std::string temporary = fileName + ".tmp";
    try {
        TFileStream file(temporary, TFileMode::fmCreate);
        {
            std::unique_ptr<TStream> wrapped = wrap ? wrap(file) : nullptr;
            TCompressionStream data(wrapped ? *wrapped : static_cast<TStream&>(file));
            sync.SaveToStream(data);
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
