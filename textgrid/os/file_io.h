// Loading a whole file as UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "textgrid/base/result.h"

namespace textgrid {

// The bytes of a loaded file; move-only, frees its memory.
class FileText {
public:
    FileText() = default;
    FileText(char* data, std::size_t size) noexcept : data_(data), size_(size) {}

    std::string_view view() const noexcept {
        return data_ ? std::string_view(data_.get() + offset_, size_) : std::string_view();
    }

    // Leaves the first n bytes (at most size) out of view; no copy is made.
    void remove_prefix(std::size_t n) noexcept {
        offset_ += n;
        size_ -= n;
    }

private:
    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, Free> data_;
    std::size_t size_ = 0;
    std::size_t offset_ = 0;
};

// A block for the bytes of a text being made (a file being read, a text
// being decoded), handed over as a FileText when done; freed otherwise. It
// is never zero-filled: every byte is written before it is looked at. Big
// blocks are aligned to 2 MiB and offered to the kernel for huge pages:
// faulting in fresh 4 KiB pages one by one costs more than reading a cached
// file. The constructor and grow throw std::bad_alloc when no memory is
// left.
class TextBuffer {
public:
    // At least `capacity` bytes, and at least one, so that even an empty
    // text is a block of its own.
    explicit TextBuffer(std::size_t capacity);
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { std::free(data_); }

    char* data() noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // At least `capacity` bytes, the bytes written so far kept.
    void grow(std::size_t capacity);

    // The first `size` bytes as a FileText, which now owns the block.
    FileText release(std::size_t size) noexcept {
        FileText text(data_, size);
        data_ = nullptr;
        return text;
    }

private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// The whole content of the file at `path`, as it is. Returns an os error
// when the file cannot be opened or read (a directory included), and
// invalid input when the path holds a NUL byte (never cut short into
// another path) or names neither a regular file nor a directory (a FIFO, a
// device, a socket: at once, without waiting or reading from it). The file
// is closed on every path. Throws std::bad_alloc when no memory is left for
// the bytes, and Interrupted between steps of a large read (interrupt.h).
Result<FileText> read_file_bytes(const std::string& path);

// The last component of `path` without its last extension: "a/b.c.TextGrid"
// gives "b.c"; a name that starts with its only dot keeps it (".hidden").
std::string file_stem(std::string_view path);


}  // namespace textgrid
