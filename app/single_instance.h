// One installer per package at a time. A second copy (an impatient double-click) would delete the first
// one's download and move its folders under its feet: it finds the first copy's lock, brings that
// copy's window to the front and ends without touching anything. Interface thread only.
#pragma once

#include <string>

class SingleInstance {
  public:
    // Takes the session's lock named after the package number (code page 936 digits).
    explicit SingleInstance(const std::string& packageNo);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when no other copy for this package holds the lock (or it could not be made at all, when
    // refusing would stop every install).
    bool First() const { return first_; }

  private:
    void* mutex_ = nullptr;
    bool first_ = true;
};

// The lock's name: "Local\OrvaneSetup_<packageNo>".
std::wstring SingleInstanceName(const std::string& packageNo);
// Brings the main dialog of the copy already running to the front; false when none was found.
bool BringFirstCopyForward();
