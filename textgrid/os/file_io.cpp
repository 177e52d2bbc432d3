#include "textgrid/os/file_io.h"

#include "textgrid/base/file_descriptor.h"
#include "textgrid/base/huge_pages.h"
#include "textgrid/base/interrupt.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>


namespace textgrid {

using detail::FileDescriptor;

namespace {

// Only regular files are read: a FIFO would block until some writer came,
// and a device such as /dev/zero would be read until memory ran out.
// Directories keep the error reading one gives.
Error not_a_regular_file(mode_t mode) {
    if (S_ISDIR(mode)) return Error::from_errno(EISDIR);
    const char* what = S_ISFIFO(mode)  ? "a FIFO"
                       : S_ISCHR(mode) ? "a character device"
                       : S_ISBLK(mode) ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "something else";
    return Error::invalid_input(std::string("not a regular file: the path names ") + what);
}

// A single read() of a huge file takes long and cannot be interrupted;
// reading in steps of this size lets the caller stop in between.
constexpr std::size_t kReadStep = std::size_t{8} << 20;

}  // namespace

TextBuffer::TextBuffer(std::size_t capacity) {
    capacity = std::max<std::size_t>(capacity, 1);
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    if (capacity >= 2 * kHuge) {
        capacity = (capacity + kHuge - 1) / kHuge * kHuge;
        data_ = static_cast<char*>(std::aligned_alloc(kHuge, capacity));
        if (data_) detail::advise_huge_pages(data_, capacity);
    } else {
        data_ = static_cast<char*>(std::malloc(capacity));
    }
    if (!data_) throw std::bad_alloc();
    capacity_ = capacity;
}

void TextBuffer::grow(std::size_t capacity) {
    char* bigger = static_cast<char*>(std::realloc(data_, capacity));
    if (!bigger) throw std::bad_alloc();
    data_ = bigger;
    capacity_ = capacity;
}

Result<FileText> read_file_bytes(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return Error::invalid_input("file name contained an unexpected NUL byte");
    }
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is
    // cleared once the file is known to be regular.
    int raw_fd;
    do {
        raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) {
        const int err = errno;
        // Opening a socket fails with "No such device or address".
        struct stat st {};
        if (err == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return not_a_regular_file(st.st_mode);
        return Error::from_errno(err);
    }
    FileDescriptor fd(raw_fd);

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Error::from_errno(errno);
    if (!S_ISREG(st.st_mode)) return not_a_regular_file(st.st_mode);
    // O_NONBLOCK means nothing to the reads of a regular file on Linux, so
    // it is cleared only should a read ever say EAGAIN: two system calls
    // less per file, which shows on a corpus of small ones.
    const auto clear_nonblock = [&fd]() -> bool {
        const int flags = ::fcntl(fd.get(), F_GETFL);
        return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
    };

    // The size is only a hint: files in /proc report 0, and a file may grow
    // while it is read, so read on until end of file.
    const std::size_t hint = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    TextBuffer buffer(hint + 1);  // one spare byte, so that end of file is seen without growing
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.capacity()) buffer.grow(buffer.capacity() < 4096 ? 8192 : buffer.capacity() * 2);
        poll_interrupt();
        const ssize_t got =
            ::read(fd.get(), buffer.data() + used, std::min(buffer.capacity() - used, kReadStep));
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN && clear_nonblock()) continue;
            return Error::from_errno(errno);
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
        // A regular file that gave exactly the size it reported, into a
        // buffer with room for more, has been read to its end: the read
        // that would say so costs as much as the whole of a small file's.
        // A file that grew meanwhile gives more than its size and goes on.
        if (hint != 0 && used == hint && used < buffer.capacity()) break;
    }
    return buffer.release(used);
}

std::string file_stem(std::string_view path) {
    std::string_view name = path;
    while (!name.empty() && name.back() == '/') name.remove_suffix(1);
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name == "..") return std::string(name);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name);
    return std::string(name.substr(0, dot));
}

}  // namespace textgrid
