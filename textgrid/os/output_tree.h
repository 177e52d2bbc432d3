// Writing many files below one folder without ever writing outside it, and
// without ever leaving a half-written file.
//
// Folders are walked one component at a time, from the root or from the
// nearest folder above that is open already, never following a symbolic
// link blindly: a link is followed only when the folder it reaches is still
// inside the root. Each file is written under a
// temporary name in its folder, then renamed over its target, so that a
// reader (or a crash, a full disk, an interrupt) sees either the old file or
// the whole new one. The temporary file is removed on every failure.
// Nothing is flushed to the disk itself: a power cut may still lose a file
// that was renamed just before.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "textgrid/base/file_descriptor.h"
#include "textgrid/base/result.h"

namespace textgrid {

class OutputTree {
public:
    using Folder = std::shared_ptr<detail::FileDescriptor>;

    // Opens root, creating it and missing parents. Returns an os error when
    // that fails.
    static Result<std::unique_ptr<OutputTree>> open(const std::string& root);

    // The folder at dir ('/'-separated components below the root; empty for
    // the root itself), created where missing. Fails (invalid input) for a
    // ".." component, or a link leading out of the root; with an os error
    // when a component cannot be made or opened. Safe to call from many
    // threads; folders are kept open for later calls, a bounded number of
    // them.
    Result<Folder> folder(std::string_view dir);

    // Writes data as `name` in folder: under a temporary name first, then
    // renamed over the target. With overwrite false an existing entry of
    // that name (a file, a link, anything) is left alone and the call
    // fails. Polls the interrupt check (interrupt.h) and removes the
    // temporary file when it throws.
    Status write_file(const Folder& folder, const std::string& name, std::string_view data, bool overwrite);

    // Whether an entry called name exists in folder (links not followed).
    static bool exists(const Folder& folder, const std::string& name) noexcept;

private:
    explicit OutputTree(int root_fd, std::string real_root);
    // Walks dir from `start` on, current being the folder of dir's first
    // `start` bytes; every folder opened on the way is added to `opened`.
    Result<Folder> walk(Folder current, std::string_view dir, std::size_t start,
                        std::vector<std::pair<std::string, Folder>>& opened);

    Folder root_;
    std::string real_root_;  // resolved path, no trailing '/' (except "/")
    // ".orvex-PID-": the process's id, asked once a call rather than a
    // system call per file (a child forked meanwhile opens its own tree).
    std::string temporary_prefix_;
    std::mutex mutex_;
    // Looked up by the caller's string_view, with no key made for it.
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view>{}(key); }
    };
    std::unordered_map<std::string, Folder, KeyHash, std::equal_to<>> folders_;
};

}  // namespace textgrid
