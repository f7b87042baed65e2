// Owners for the Win32 handles the installation actions open. Not copyable; each closes its handle
// exactly once, so an early return never leaks one.
#pragma once

#include <windows.h>

#include <objbase.h>

#include <utility>

namespace install {

// A kernel handle (file, process, thread, snapshot). Both null and INVALID_HANDLE_VALUE mean "none".
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    bool Valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return h_; }
    // Gives the handle up without closing it.
    HANDLE Release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void Reset(HANDLE h = nullptr) {
        if (Valid())
            CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_ = nullptr;
};

// An open registry key.
class RegKey {
  public:
    RegKey() = default;
    ~RegKey() {
        if (key_)
            RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY Get() const { return key_; }
    HKEY* Receive() { return &key_; }

  private:
    HKEY key_ = nullptr;
};

// A COM interface pointer, released once.
template <typename T> class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() {
        if (p_)
            p_->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void** ReceiveVoid() { return reinterpret_cast<void**>(&p_); }

  private:
    T* p_ = nullptr;
};

// COM on this thread for the object's lifetime; uninitialised only when the initialisation counted.
class ComScope {
  public:
    ComScope() : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComScope() {
        if (ok_)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Ok() const { return ok_; }

  private:
    bool ok_;
};

} // namespace install
