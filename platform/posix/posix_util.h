// Helpers shared by the Linux platform units (not part of the interface).
#pragma once

#include <memory>
#include <string>

#include <unistd.h>

#include "platform/types.h"

namespace plat::detail {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// Every byte outside [A-Za-z0-9._-] as %XX, so any name is one safe file-name component.
std::string EscapeName(const std::string& bytes);
// The reverse; false on a malformed escape.
bool UnescapeName(const std::string& escaped, std::string& bytes);

// The user's private directory of named mappings and window sockets (runtime_dir.cpp), checked
// on every call. False with the last error set when there is none: never a shared fallback.
bool RuntimeDirectory(std::string& dir);

// A child window of one of this process's top-level windows that carries `data` (the console).
// 0 when `parent` is not a live window of this process.
WindowHandle CreateChildWindow(WindowHandle parent, std::shared_ptr<void> data);
// The data of a child window created above, null for any other handle.
void* ChildWindowData(WindowHandle child);

} // namespace plat::detail
