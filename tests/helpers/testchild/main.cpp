// A console program for the process runner's tests: it carries out the commands in
// its arguments in order and writes unbuffered, so the runner sees each write as
// the child makes it.
//   out <text>        text to standard output      err <text>        to standard error
//   outhex <hex>      raw bytes to standard output sleep <ms>
//   flood-out <bytes> pattern to standard output   flood-err <bytes> to standard error
//   blast <bytes>     constant bytes to standard output, fast (benchmarks)
//   rsync-lines <n>   n file lines like rsync -v's to standard output, in 64 KB writes
//   exit <code>       end at once with that code
#include "TestPattern.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace {

enum class TStream { Output, Error };

// False once the reader has gone away.
bool WriteAll(TStream stream, const char* data, std::size_t size) {
#ifdef _WIN32
    HANDLE handle = GetStdHandle(stream == TStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
        if (!WriteFile(handle, data, chunk, &written, nullptr))
            return false;
        data += written;
        size -= written;
    }
#else
    const int fd = stream == TStream::Output ? 1 : 2;
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
#endif
    return true;
}

bool Flood(TStream stream, std::size_t bytes) {
    std::vector<char> block(0x10000);
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t size = std::min(block.size(), bytes - done);
        for (std::size_t i = 0; i < size; ++i)
            block[i] = kal::testchild::PatternByte(done + i);
        if (!WriteAll(stream, block.data(), size))
            return false;
        done += size;
    }
    return true;
}

bool Blast(std::size_t bytes) {
    std::vector<char> block(0x10000, 'x');
    for (std::size_t i = 63; i < block.size(); i += 64)
        block[i] = '\n';
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t size = std::min(block.size(), bytes - done);
        if (!WriteAll(TStream::Output, block.data(), size))
            return false;
        done += size;
    }
    return true;
}

bool RsyncLines(std::size_t count) {
    std::string block;
    for (std::size_t i = 0; i < count; ++i) {
        block += kal::testchild::RsyncLikeLine(i);
        if (block.size() >= 0x10000 || i + 1 == count) {
            if (!WriteAll(TStream::Output, block.data(), block.size()))
                return false;
            block.clear();
        }
    }
    return true;
}

std::string FromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view command = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "testchild: %s needs an argument\n", argv[i]);
            return 2;
        }
        const std::string argument = argv[++i];
        bool ok = true;
        if (command == "out")
            ok = WriteAll(TStream::Output, argument.data(), argument.size());
        else if (command == "err")
            ok = WriteAll(TStream::Error, argument.data(), argument.size());
        else if (command == "outhex") {
            const std::string bytes = FromHex(argument);
            ok = WriteAll(TStream::Output, bytes.data(), bytes.size());
        } else if (command == "sleep")
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(argument)));
        else if (command == "flood-out")
            ok = Flood(TStream::Output, std::stoull(argument));
        else if (command == "flood-err")
            ok = Flood(TStream::Error, std::stoull(argument));
        else if (command == "blast")
            ok = Blast(std::stoull(argument));
        else if (command == "rsync-lines")
            ok = RsyncLines(std::stoull(argument));
        else if (command == "exit")
            return std::atoi(argument.c_str());
        else {
            std::fprintf(stderr, "testchild: unknown command %s\n", argv[i - 1]);
            return 2;
        }
        if (!ok)
            return 3;
    }
    return 0;
}
