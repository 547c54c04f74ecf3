// A stand-in for the terminal window: records every message a runner's output
// becomes. On Windows it is a real hidden window, owned by the thread that
// creates it, that the runner reaches through the program's window adapter;
// elsewhere an output called on the worker.
#pragma once

#include "output_messages.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kal::test {

struct TRecordedMessage {
    unsigned Message = 0;
    std::string Text;         // the characters up to the NUL, for the text messages
    std::intptr_t LParam = 0; // as sent
    std::size_t TextSize = 0; // strlen of the received text, to compare with LParam
    std::chrono::steady_clock::time_point At;
};

class TOutputRecorder {
public:
    TOutputRecorder();
    ~TOutputRecorder();
    TOutputRecorder(const TOutputRecorder&) = delete;
    TOutputRecorder& operator=(const TOutputRecorder&) = delete;

    IProcessOutput* Handle() const;

    std::vector<TRecordedMessage> Messages() const;
    // The texts of one message kind joined in arrival order.
    std::string Joined(unsigned message) const;
    std::size_t Count(unsigned message) const;
    std::size_t BytesReceived() const;
    // Counts only, for the benchmark: no copies kept.
    void SetCountOnly(bool value) { FCountOnly = value; }

    // Handles this thread's messages until `done` holds or `timeout` passes.
    bool WaitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Handles this thread's messages for a while.
    void Pump(std::chrono::milliseconds duration);

    std::intptr_t Record(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
    mutable std::mutex FLock;
    std::vector<TRecordedMessage> FMessages;
    std::size_t FBytes = 0;
    bool FCountOnly = false;
};

// Handles this thread's messages for a few milliseconds at most.
void ServeMessagesBriefly();

// Reads everything the child of `command` writes, 1024 bytes at a time, as a plain
// program would, and waits for its end; returns the byte count. The yardstick of
// the runner's benchmarks.
std::size_t PlainRead(const std::string& command);

// The test child's full path, and a command line that runs it with these arguments.
std::string TestChildPath();
std::string ChildCommand(const std::vector<std::string>& arguments);

} // namespace kal::test
