#include "textgrid/os/output_tree.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "textgrid/base/interrupt.h"

#if !defined(RENAME_NOREPLACE)
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace textgrid {

namespace {

// More folders than this open at once would risk the process's descriptor
// limit; past it the cache starts afresh (folders in use stay open).
constexpr std::size_t kMaxOpenFolders = 256;

// Writes go out in slices this large, so that an interrupt is seen between
// them.
constexpr std::size_t kWriteSlice = std::size_t{1} << 24;

int open_folder_at(int at, const char* name, bool follow) noexcept {
    return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

// Where an open descriptor really is, as the kernel resolved it.
bool real_path_of(int fd, std::string& out) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link, buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
    out.assign(buf, static_cast<std::size_t>(n));
    return true;
}

bool within(const std::string& path, const std::string& root) {
    if (root == "/") return !path.empty() && path[0] == '/';
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}

// renameat2 came to glibc in 2.28; the wheels load on 2.17, where only the
// system call itself is there (ENOSYS from a kernel older than 3.15).
int rename_noreplace(int at, const char* from, const char* to) noexcept {
#ifdef SYS_renameat2
    return static_cast<int>(::syscall(SYS_renameat2, at, from, at, to, RENAME_NOREPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// The temporary file of one write, removed unless the write went through.
struct TemporaryFile {
    int folder;
    std::string name;
    bool kept = false;
    ~TemporaryFile() {
        if (!kept) ::unlinkat(folder, name.c_str(), 0);
    }
};

Status write_all(int fd, std::string_view data) {
    std::size_t at = 0;
    while (at < data.size()) {
        poll_interrupt();
        const std::size_t slice = std::min(data.size() - at, kWriteSlice);
        const ssize_t n = ::write(fd, data.data() + at, slice);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::from_errno(errno);
        }
        if (n == 0) return Error::from_errno(EIO);
        at += static_cast<std::size_t>(n);
    }
    return Ok{};
}

}  // namespace

OutputTree::OutputTree(int root_fd, std::string real_root)
    : root_(std::make_shared<detail::FileDescriptor>(root_fd)),
      real_root_(std::move(real_root)),
      temporary_prefix_(".orvex-" + std::to_string(::getpid()) + "-") {}

Result<std::unique_ptr<OutputTree>> OutputTree::open(const std::string& root) {
    if (root.find('\0') != std::string::npos)
        return Error::invalid_input("the output folder's path contains a NUL byte");
    // The root and its parents are the caller's own choice: links in them
    // are followed like any path the caller gives.
    for (std::size_t slash = root.find('/', 1); ; slash = root.find('/', slash + 1)) {
        const std::string prefix = root.substr(0, slash);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return Error::from_errno(errno);
        if (slash == std::string::npos) break;
    }
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Error::from_errno(errno);
    std::string real;
    if (!real_path_of(fd, real)) {
        const int err = errno != 0 ? errno : ENOENT;
        ::close(fd);
        return Error::from_errno(err);
    }
    return std::unique_ptr<OutputTree>(new OutputTree(fd, std::move(real)));
}

Result<OutputTree::Folder> OutputTree::folder(std::string_view dir) {
    Folder start = root_;
    std::size_t done = 0;  // how much of dir `start` stands for
    {
        std::lock_guard lock(mutex_);
        if (auto it = folders_.find(dir); it != folders_.end()) return it->second;
        // A corpus has folders by the thousand, most of them beside one
        // another: a new one is walked from the nearest one above it that
        // is open already.
        for (std::size_t slash = dir.rfind('/'); slash != std::string_view::npos && slash > 0;
             slash = dir.rfind('/', slash - 1)) {
            if (auto it = folders_.find(dir.substr(0, slash)); it != folders_.end()) {
                start = it->second;
                done = slash + 1;
                break;
            }
        }
    }
    // The system calls of the walk are made outside the lock, so that the
    // other threads go on writing. Two threads making the same folder at
    // once both open it, and the first one kept stays.
    std::vector<std::pair<std::string, Folder>> opened;
    Result<Folder> found = walk(std::move(start), dir, done, opened);
    std::lock_guard lock(mutex_);
    for (auto& [key, folder] : opened) {
        if (folders_.size() >= kMaxOpenFolders) folders_.clear();
        folders_.emplace(std::move(key), std::move(folder));
    }
    return found;
}

Result<OutputTree::Folder> OutputTree::walk(Folder current, std::string_view dir, std::size_t start,
                                            std::vector<std::pair<std::string, Folder>>& opened) {
    std::string so_far(dir.substr(0, start == 0 ? 0 : start - 1));
    while (start <= dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string_view::npos) end = dir.size();
        const std::string part(dir.substr(start, end - start));
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return Error::invalid_input("the path leads outside the output folder");
        if (part.find('\0') != std::string::npos) return Error::invalid_input("the path contains a NUL byte");
        so_far += so_far.empty() ? part : "/" + part;
        const int at = current->get();
        // Most folders of a corpus written afresh are new: made first, then
        // opened, two system calls where looking first would take three.
        const int made = ::mkdirat(at, part.c_str(), 0777) == 0 ? 0 : errno;
        int fd = open_folder_at(at, part.c_str(), false);
        if (fd < 0 && errno == ENOENT && made != 0 && made != EEXIST) return Error::from_errno(made);
        if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) {
            const int err = errno;
            struct stat st;
            if (::fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
                return Error::from_errno(err);
            // A link is followed only to a folder that is still inside the
            // root, judged by where the opened folder really is.
            fd = open_folder_at(at, part.c_str(), true);
            std::string real;
            if (fd >= 0 && !(real_path_of(fd, real) && within(real, real_root_))) {
                ::close(fd);
                return Error::invalid_input("the folder " + so_far + " is a link leading outside the output folder");
            }
        }
        if (fd < 0) return Error::from_errno(errno);
        current = std::make_shared<detail::FileDescriptor>(fd);
        opened.emplace_back(so_far, current);
    }
    return current;
}

bool OutputTree::exists(const Folder& folder, const std::string& name) noexcept {
    struct stat st;
    return ::fstatat(folder->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Status OutputTree::write_file(const Folder& folder, const std::string& name, std::string_view data,
                              bool overwrite) {
    static std::atomic<unsigned long> counter{0};
    const int at = folder->get();
    poll_interrupt();
    TemporaryFile temporary{at, {}, true};
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary.name = temporary_prefix_ + std::to_string(counter++) + ".tmp";
        fd = ::openat(at, temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR) return Error::from_errno(errno);
    }
    if (fd < 0) return Error::from_errno(EEXIST);
    temporary.kept = false;
    detail::FileDescriptor file(fd);
    if (auto st = write_all(fd, data); !st) return st;
    if (auto st = file.close(); !st) return st;
    if (overwrite) {
        if (::renameat(at, temporary.name.c_str(), at, name.c_str()) != 0) return Error::from_errno(errno);
    } else if (rename_noreplace(at, temporary.name.c_str(), name.c_str()) != 0) {
        if (errno == EEXIST) return Error::invalid_input("the file exists already and overwrite is off");
        if (errno != EINVAL && errno != ENOSYS) return Error::from_errno(errno);
        // A file system without the no-replace rename: a hard link fails on
        // an existing name just the same; the temporary name goes below.
        if (::linkat(at, temporary.name.c_str(), at, name.c_str(), 0) != 0) {
            if (errno == EEXIST) return Error::invalid_input("the file exists already and overwrite is off");
            return Error::from_errno(errno);
        }
        return Ok{};
    }
    temporary.kept = true;
    return Ok{};
}

}  // namespace textgrid
