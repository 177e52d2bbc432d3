#include "textgrid/os/file_write.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "textgrid/base/file_descriptor.h"
#include "textgrid/base/interrupt.h"

namespace textgrid {

namespace {

// A signal interrupts a call that waits (the open of a FIFO until a reader
// comes, a write into a full pipe): the caller decides whether to go on.
bool interrupted_call(int err) {
    if (err != EINTR) return false;
    poll_interrupt();
    return true;
}

// How long a wait for a FIFO's reader lasts before the caller is asked
// again whether to go on. A signal that came just before a blocking call
// would not interrupt it, so such waits are never left to the kernel alone.
constexpr int kFifoWaitMs = 20;

// Waits a little for room in a FIFO opened without blocking; false when
// the wait itself failed.
bool wait_writable(int fd) {
    pollfd watch{fd, POLLOUT, 0};
    if (::poll(&watch, 1, kFifoWaitMs) < 0 && errno != EINTR) return false;
    poll_interrupt();
    return true;
}

Status write_all(int fd, const std::vector<std::string>& pieces) {
    std::vector<iovec> iov;
    iov.reserve(pieces.size());
    for (const std::string& piece : pieces) {
        // writev only reads the buffers; its iovec just is not const.
        if (!piece.empty()) iov.push_back({const_cast<char*>(piece.data()), piece.size()});
    }
    std::size_t at = 0;  // the first buffer not yet written whole
    while (at < iov.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(iov.size() - at, IOV_MAX));
        const ssize_t n = ::writev(fd, &iov[at], count);
        if (n < 0) {
            if (interrupted_call(errno)) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd)) continue;
            return Error::from_errno(errno);
        }
        // A write that takes nothing would loop for ever; the device is
        // refusing the data, so report it as the I/O error it is.
        if (n == 0) return Error::from_errno(EIO);
        auto left = static_cast<std::size_t>(n);
        while (at < iov.size() && left >= iov[at].iov_len) {
            left -= iov[at].iov_len;
            ++at;
        }
        if (left > 0) {
            iov[at].iov_base = static_cast<char*>(iov[at].iov_base) + left;
            iov[at].iov_len -= left;
        }
    }
    return Ok{};
}

// Opens the file to write. Always without blocking: that means nothing to
// a regular file, and for a FIFO the wait for its reader, and later for
// room in it, polls the caller between short sleeps. Only a failure asks
// what the path is, so that the common case is one system call.
int open_for_writing(const std::string& path) {
    for (;;) {
        poll_interrupt();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;  // the caller is asked at the top
        if (errno != ENXIO) return -1;
        // ENXIO: a FIFO without a reader yet, or a socket, which stays one.
        const int err = errno;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            errno = err;
            return -1;
        }
        const timespec pause{0, kFifoWaitMs * 1'000'000L};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

Status write_file(const std::string& path, const std::vector<std::string>& pieces) {
    detail::FileDescriptor fd(open_for_writing(path));
    if (fd.get() < 0) return Error::from_errno(errno);
    if (auto st = write_all(fd.get(), pieces); !st) return st;
    return fd.close();
}

}  // namespace textgrid
