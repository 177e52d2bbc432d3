// Large buffers that a reader fills at once: backing them with huge pages
// spares most of the page faults of their first touch, a good part of the
// time of a large read (a 50 MB grid's items take thousands of 4 KiB pages).
#pragma once

#include <cstddef>
#include <vector>

namespace textgrid::detail {

// Buffers from this size on are worth the advice.
inline constexpr std::size_t kHugePageWorthy = std::size_t{2} << 20;

// Tells the kernel that the whole 2 MiB pages inside [data, data + bytes)
// may be huge pages. A hint only: where the system has none to give, or
// another system than Linux runs, nothing changes.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// v.reserve(n), with the advice for a large buffer that nothing has
// touched yet.
template <class T>
void reserve_filled_soon(std::vector<T>& v, std::size_t n) {
    const std::size_t had = v.capacity();
    v.reserve(n);
    if (v.capacity() != had && v.capacity() * sizeof(T) >= kHugePageWorthy) {
        advise_huge_pages(v.data() + v.size(), (v.capacity() - v.size()) * sizeof(T));
    }
}

}  // namespace textgrid::detail
