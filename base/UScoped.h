// One owner for every handle the program holds. Each owner is move-only and
// frees its handle exactly once, whichever way the scope is left; a handle type
// whose "none" value differs per API (kernel handles: null or
// INVALID_HANDLE_VALUE) treats both as none.
//
//   unique_handle<Traits>   the owner; Traits says what "none" is and how to free
//   scope_exit              runs a clean-up at the end of a scope
//   com_ptr<T>              a COM interface, released once
//
// Aliases below cover kernel objects, process information, find handles,
// registry keys, GDI objects and DCs, window-system objects, memory of the
// system's allocators, Schannel credentials and contexts, certificate contexts
// and chains, address lists, and file descriptors.
#pragma once

#include <utility>

#ifdef _WIN32
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>
#include <security.h>
#include <wincrypt.h>
#else
#include <netdb.h>
#include <unistd.h>
#endif

namespace kal {

template <class Traits> class unique_handle {
public:
    using pointer = typename Traits::pointer;

    unique_handle() noexcept = default;
    explicit unique_handle(pointer value) noexcept { reset(value); }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    unique_handle(unique_handle&& other) noexcept : FValue(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_handle() { reset(); }

    pointer get() const noexcept { return FValue; }
    explicit operator bool() const noexcept { return Traits::valid(FValue); }
    pointer release() noexcept { return std::exchange(FValue, Traits::invalid()); }
    // Any "none" value is stored as the canonical one.
    void reset(pointer value = Traits::invalid()) noexcept {
        pointer old = std::exchange(FValue, Traits::valid(value) ? value : Traits::invalid());
        if (Traits::valid(old))
            Traits::close(old);
    }
    // For APIs that hand a new handle out through a pointer: frees the old one first.
    pointer* put() noexcept {
        reset();
        return &FValue;
    }

private:
    pointer FValue = Traits::invalid();
};

// A handle that is `None` when empty and freed by the API function `Free`, whose
// result is of no use at that point.
template <class T, auto Free, T None = T{}> struct HandleTraits {
    using pointer = T;
    static constexpr pointer invalid() noexcept { return None; }
    static bool valid(pointer h) noexcept { return h != None; }
    static void close(pointer h) noexcept { Free(h); }
};

// Runs `f` when the scope ends, unless released.
template <class F> class scope_exit {
public:
    explicit scope_exit(F f) noexcept : FExit(std::move(f)) {}
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;
    ~scope_exit() {
        if (FActive)
            FExit();
    }
    void release() noexcept { FActive = false; }

private:
    F FExit;
    bool FActive = true;
};

using unique_addrinfo = unique_handle<HandleTraits<addrinfo*, &::freeaddrinfo>>;

#ifdef _WIN32

// Kernel objects: both "none" values that the APIs return are none.
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static bool valid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
using unique_handle_t = unique_handle<KernelHandleTraits>;

struct FindHandleTraits : KernelHandleTraits {
    static void close(pointer h) noexcept { ::FindClose(h); }
};
using unique_find = unique_handle<FindHandleTraits>;

// What CreateProcess hands out: both handles owned, the ids kept.
struct TProcessInformation {
    TProcessInformation() = default;
    explicit TProcessInformation(const PROCESS_INFORMATION& info)
        : Process(info.hProcess), Thread(info.hThread), ProcessId(info.dwProcessId),
          ThreadId(info.dwThreadId) {}
    unique_handle_t Process;
    unique_handle_t Thread;
    DWORD ProcessId = 0;
    DWORD ThreadId = 0;
};

using unique_hkey = unique_handle<HandleTraits<HKEY, &::RegCloseKey>>;
using unique_hgdiobj = unique_handle<HandleTraits<HGDIOBJ, &::DeleteObject>>;
using unique_hfont = unique_handle<HandleTraits<HFONT, &::DeleteObject>>;
using unique_hbrush = unique_handle<HandleTraits<HBRUSH, &::DeleteObject>>;
using unique_hbitmap = unique_handle<HandleTraits<HBITMAP, &::DeleteObject>>;
using unique_hdc = unique_handle<HandleTraits<HDC, &::DeleteDC>>;
using unique_hicon = unique_handle<HandleTraits<HICON, &::DestroyIcon>>;
using unique_hmenu = unique_handle<HandleTraits<HMENU, &::DestroyMenu>>;
using unique_hwnd = unique_handle<HandleTraits<HWND, &::DestroyWindow>>;
using unique_hglobal = unique_handle<HandleTraits<HGLOBAL, &::GlobalFree>>;
using unique_hlocal = unique_handle<HandleTraits<HLOCAL, &::LocalFree>>;
using unique_cotaskmem = unique_handle<HandleTraits<void*, &::CoTaskMemFree>>;
using unique_context_buffer = unique_handle<HandleTraits<void*, &::FreeContextBuffer>>;
using unique_cert_context =
    unique_handle<HandleTraits<PCCERT_CONTEXT, &::CertFreeCertificateContext>>;
using unique_cert_chain =
    unique_handle<HandleTraits<PCCERT_CHAIN_CONTEXT, &::CertFreeCertificateChain>>;

// A DC borrowed from a window (GetDC), given back to it.
class unique_window_dc {
public:
    explicit unique_window_dc(HWND window) noexcept : FWindow(window), FDC(::GetDC(window)) {}
    unique_window_dc(const unique_window_dc&) = delete;
    unique_window_dc& operator=(const unique_window_dc&) = delete;
    ~unique_window_dc() {
        if (FDC)
            ::ReleaseDC(FWindow, FDC);
    }
    HDC get() const noexcept { return FDC; }

private:
    HWND FWindow;
    HDC FDC;
};

// Schannel's credential and context handles: a pair of words that SSPI marks as
// none with all bits set.
template <auto Free> struct SecHandleTraits {
    using pointer = SecHandle;
    static pointer invalid() noexcept { return {~ULONG_PTR{0}, ~ULONG_PTR{0}}; }
    static bool valid(const pointer& h) noexcept {
        return h.dwLower != ~ULONG_PTR{0} || h.dwUpper != ~ULONG_PTR{0};
    }
    static void close(pointer h) noexcept { Free(&h); }
};
using unique_credentials = unique_handle<SecHandleTraits<&::FreeCredentialsHandle>>;
using unique_security_context = unique_handle<SecHandleTraits<&::DeleteSecurityContext>>;

// A COM interface pointer, released once.
template <class T> class com_ptr {
public:
    com_ptr() noexcept = default;
    explicit com_ptr(T* p) noexcept : FPointer(p) {}
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    com_ptr(com_ptr&& other) noexcept : FPointer(std::exchange(other.FPointer, nullptr)) {}
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.FPointer, nullptr));
        return *this;
    }
    ~com_ptr() { reset(); }

    T* get() const noexcept { return FPointer; }
    T* operator->() const noexcept { return FPointer; }
    explicit operator bool() const noexcept { return FPointer != nullptr; }
    void reset(T* p = nullptr) noexcept {
        if (T* old = std::exchange(FPointer, p))
            old->Release();
    }
    // For creation functions that return the interface through an out-parameter.
    T** put() noexcept {
        reset();
        return &FPointer;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* FPointer = nullptr;
};

#else

using unique_fd = unique_handle<HandleTraits<int, &::close, -1>>;

#endif

} // namespace kal
