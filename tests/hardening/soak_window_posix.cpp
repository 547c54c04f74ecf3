#include "soak_driver.h"

#include "output_messages.h"

#include <thread>

namespace kal::hardening {

struct TSoakWindow::TImpl final : test::TMessageOutput {
    explicit TImpl(TSoakWindow& owner) : Owner(owner) {}
    void Receive(unsigned message, char* text, std::intptr_t) override {
        if (message == test::WM_CONSOLE_OUTPUT && text)
            Owner.Received(text);
    }
    TSoakWindow& Owner;
};

TSoakWindow::TSoakWindow() : FImpl(new TImpl(*this)) {}
TSoakWindow::~TSoakWindow() {
    delete FImpl;
}
IProcessOutput* TSoakWindow::Handle() const {
    return FImpl;
}

bool TSoakWindow::ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    // Natively the workers call the window directly: there is nothing to serve.
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace kal::hardening
