// The platform half of kal::test::ChildProcess (test_support_posix.cpp and
// test_support_win.cpp); the portable half reads the streams on two threads.
#pragma once

#include "test_support.h"

#include <cstddef>

namespace kal::test {

enum class Stream { Out, Err };

class ChildProcess::Platform {
public:
    virtual ~Platform() = default;
    // Blocks until some bytes arrive; 0 at the end of the stream.
    virtual std::size_t Read(Stream stream, char* buffer, std::size_t size) = 0;
    virtual bool Running() = 0;
    virtual int Wait() = 0;
    virtual void Terminate() = 0;
    virtual void Kill() = 0;
};

std::unique_ptr<ChildProcess::Platform> StartChild(const std::vector<std::string>& argv,
                                                   const Environment& env);
std::unique_ptr<ChildProcess::Platform> StartChild(const RawCommandLine& commandLine,
                                                   const Environment& env);

// Environment variable of the host, as this program sees it; empty when unset.
std::string HostVariable(const char* name);

} // namespace kal::test
