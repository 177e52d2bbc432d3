// An owned POSIX file descriptor, closed on every way out.
#pragma once

#include <cerrno>
#include <unistd.h>

#include "textgrid/base/result.h"

namespace textgrid::detail {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const noexcept { return fd_; }

    // Closes now, so that a failure to flush (NFS, quotas) is reported.
    Status close() noexcept {
        const int fd = fd_;
        fd_ = -1;
        // Don't retry close on EINTR: Linux has released the descriptor
        // already, and a second close could hit one another thread opened.
        if (::close(fd) != 0) return Error::from_errno(errno);
        return Ok{};
    }

private:
    int fd_;
};

}  // namespace textgrid::detail
