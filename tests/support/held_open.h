#pragma once

#if defined(_WIN32)

#include "text/platform.h"

#include <string>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace veldra::test {

// Holds a file open as a spreadsheet or a PDF viewer does: others may read it, but not write,
// rename, replace or remove it while it is held.
class HeldOpen {
public:
    explicit HeldOpen(const std::string& utf8)
        : handle_(CreateFileW(native_path(utf8).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldOpen() {
        if (ok()) {
            CloseHandle(handle_);
        }
    }
    HeldOpen(const HeldOpen&) = delete;
    HeldOpen& operator=(const HeldOpen&) = delete;

    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

} // namespace veldra::test

#endif
