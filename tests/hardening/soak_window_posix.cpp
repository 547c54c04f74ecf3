#include "soak_driver.h"

#include "UProcess.h"

#include <thread>

namespace kal::hardening {

struct TSoakWindow::TImpl final : IOutputWindow {
    explicit TImpl(TSoakWindow& owner) : Owner(owner) {}
    std::intptr_t Perform(unsigned message, std::uintptr_t wParam, std::intptr_t) override {
        if (message == WM_CONSOLE_OUTPUT && wParam)
            Owner.Received(reinterpret_cast<const char*>(wParam));
        return 0;
    }
    TSoakWindow& Owner;
};

TSoakWindow::TSoakWindow() : FImpl(new TImpl(*this)) {}
TSoakWindow::~TSoakWindow() {
    delete FImpl;
}
void* TSoakWindow::Handle() const {
    return static_cast<IOutputWindow*>(FImpl);
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
