// Scoped owners for GDI objects and selections, so every paint gives back what it took.
#pragma once

#include <windows.h>

#include <utility>

// Owns one GDI object (pen, brush, font, bitmap) and deletes it when it goes.
template <class Handle> class GdiObject {
  public:
    GdiObject() = default;
    explicit GdiObject(Handle handle) : handle_(handle) {}
    GdiObject(GdiObject&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    GdiObject& operator=(GdiObject&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    ~GdiObject() { Reset(); }

    Handle get() const { return handle_; }
    operator Handle() const { return handle_; }
    void Reset(Handle handle = nullptr) {
        if (handle_)
            DeleteObject(handle_);
        handle_ = handle;
    }

  private:
    Handle handle_ = nullptr;
};

// Owns a memory device context made like a reference one and deletes it when it goes. Declare it before
// the objects and SelectGuards that go into it, so they are given back first.
class MemoryDC {
  public:
    explicit MemoryDC(HDC reference) : dc_(CreateCompatibleDC(reference)) {}
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    ~MemoryDC() {
        if (dc_)
            DeleteDC(dc_);
    }

    HDC get() const { return dc_; }
    operator HDC() const { return dc_; }

  private:
    HDC dc_;
};

// Selects an object into a device context and selects the previous one back at the end of the scope,
// so the object can be deleted afterwards.
class SelectGuard {
  public:
    SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;
    ~SelectGuard() {
        if (previous_)
            SelectObject(dc_, previous_);
    }

  private:
    HDC dc_;
    HGDIOBJ previous_;
};
