// A growable column of trivially copyable values whose storage can be handed
// over whole to another owner.
//
// Unlike std::vector, the buffer can leave the column as a plain
// {data, size, capacity} triple together with one static release routine,
// so a foreign owner (a Python object that NumPy keeps alive) frees it
// later without knowing the element type. The storage comes from
// malloc/realloc, which keeps growth cheap for trivially copyable values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "textgrid/base/huge_pages.h"

namespace textgrid {

// The release routine of every column type: frees the buffer when capacity
// is not 0 and does nothing otherwise (the placeholder of an empty column).
// size is passed for owners that track it; it plays no part here.
using ReleaseBuffer = void (*)(void* data, std::size_t size, std::size_t capacity) noexcept;

namespace detail {
// Stands in for the buffer of an empty column: a real, non-null address
// aligned for any element type, never written (there are no elements) and
// never freed (capacity 0).
alignas(std::max_align_t) inline unsigned char empty_column_placeholder[alignof(std::max_align_t)];
}  // namespace detail

template <class T>
class Column {
    static_assert(std::is_trivially_copyable_v<T>, "Column holds raw bytes moved with memcpy/realloc");

public:
    // A buffer taken out of a column. data is never null; capacity 0 means
    // data is the shared placeholder and must not be freed.
    struct Released {
        T* data;
        std::size_t size;
        std::size_t capacity;
    };

    Column() noexcept = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    Column(Column&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Column() { std::free(data_); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    // Null while nothing was ever stored.
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // Makes room for at least n elements in all. Throws std::bad_alloc; the
    // column is unchanged then.
    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }
    // Makes room for extra more elements, growing geometrically as the
    // appending operations do: a column filled by many such calls, one per
    // tier of a corpus, is then copied a few times rather than once a call.
    void reserve_more(std::size_t extra) {
        if (extra > capacity_ - size_) grow_for(extra);
    }

    // The appending operations grow the buffer geometrically when the new
    // elements do not fit. They throw std::bad_alloc, leaving the column
    // as it was.
    void push_back(T value) {
        if (size_ == capacity_) grow_for(1);
        data_[size_++] = value;
    }
    void append(const T* values, std::size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) grow_for(n);
        std::memcpy(static_cast<void*>(data_ + size_), values, n * sizeof(T));
        size_ += n;
    }
    void append(const Column& other) { append(other.data_, other.size_); }
    void append_copies(T value, std::size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) grow_for(n);
        for (std::size_t i = 0; i < n; ++i) data_[size_ + i] = value;
        size_ += n;
    }

    // Frees the buffer; the column is empty afterwards.
    void clear_and_free() noexcept {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    // Hands the buffer over and leaves the column empty. The receiver must
    // eventually call free_buffer with the three values, exactly once. An
    // empty column hands over the aligned placeholder with capacity 0, also
    // when it had reserved room (that room is freed here). Never fails.
    Released release() noexcept {
        if (size_ == 0) {
            clear_and_free();
            return {reinterpret_cast<T*>(detail::empty_column_placeholder), 0, 0};
        }
        Released out{data_, size_, capacity_};
        data_ = nullptr;
        size_ = capacity_ = 0;
        return out;
    }

    // The release routine for buffers of this column type (see ReleaseBuffer).
    static void free_buffer(void* data, std::size_t /*size*/, std::size_t capacity) noexcept {
        if (capacity != 0) std::free(data);
    }

private:
    void grow_for(std::size_t extra) {
        constexpr std::size_t max_elements = static_cast<std::size_t>(-1) / sizeof(T);
        if (extra > max_elements - size_) throw std::bad_alloc();
        const std::size_t needed = size_ + extra;
        std::size_t next = capacity_ < 8 ? 8 : capacity_;
        while (next < needed) next = next > max_elements / 2 ? max_elements : next * 2;
        reallocate(next);
    }

    void reallocate(std::size_t n) {
        // No object may be larger than PTRDIFF_MAX bytes.
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        void* p = std::realloc(data_, n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        capacity_ = n;
        if (n * sizeof(T) >= detail::kHugePageWorthy) {
            detail::advise_huge_pages(data_ + size_, (capacity_ - size_) * sizeof(T));
        }
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace textgrid
