// Column behaviour that Python cannot observe directly: growth across many
// reallocations (the module reserves exact sizes) and the hand-over of
// reserved but unused room.
#include <cstdint>
#include <cstdio>

#include "textgrid/base/column.h"
#include "tests/cpp/check.h"

namespace {

using test_support::check;

void appends_survive_growth() {
    textgrid::Column<std::uint32_t> ids;
    for (std::uint32_t k = 0; k < 1000; ++k) ids.append_copies(k, k % 3);
    textgrid::Column<std::uint32_t> more;
    more.append(ids);
    more.push_back(7);
    bool ordered = true;
    std::size_t i = 0;
    for (std::uint32_t k = 0; k < 1000; ++k)
        for (std::uint32_t r = 0; r < k % 3; ++r) ordered = ordered && more[i++] == k;
    check(ordered && more[i] == 7 && more.size() == i + 1, "blocks keep their order across reallocations");
    check(more.capacity() >= more.size(), "capacity covers the size");
}

// A corpus batch makes room tier by tier: exact growth would copy the
// column once per tier, quadratic in the rows.
void room_made_piecewise_grows_geometrically() {
    textgrid::Column<double> times;
    std::size_t growths = 0;
    for (int tier = 0; tier < 10000; ++tier) {
        const std::size_t before = times.capacity();
        times.reserve_more(3);
        growths += times.capacity() != before;
        check(times.capacity() - times.size() >= 3, "reserve_more makes the room asked for");
        times.append_copies(tier, 3);
    }
    check(growths <= 16, "30,000 values in 10,000 pieces take a few reallocations");
}

void empty_release_is_placeholder() {
    textgrid::Column<double> reserved;
    reserved.reserve(100);  // room that must not leak when nothing was stored
    auto out = reserved.release();
    check(out.data != nullptr && out.size == 0 && out.capacity == 0, "empty column hands over the placeholder");
    check(reinterpret_cast<std::uintptr_t>(out.data) % alignof(double) == 0, "placeholder is aligned");
    check(reserved.data() == nullptr && reserved.capacity() == 0, "reserved room was given up");
    textgrid::Column<double>::free_buffer(out.data, out.size, out.capacity);  // must be a no-op
}

void release_hands_over_the_buffer() {
    textgrid::Column<bool> flags;
    flags.append_copies(true, 3);
    const bool* before = flags.data();
    auto out = flags.release();
    check(out.data == before && out.size == 3 && out.capacity >= 3, "release keeps the address");
    check(flags.empty() && flags.data() == nullptr, "released column is empty");
    flags.push_back(false);  // a released column is usable again
    check(flags.size() == 1 && flags.data() != before, "column reusable after release");
    textgrid::Column<bool>::free_buffer(out.data, out.size, out.capacity);
}

}  // namespace

int main() {
    appends_survive_growth();
    room_made_piecewise_grows_geometrically();
    empty_release_is_placeholder();
    release_hands_over_the_buffer();
    return test_support::finish("test_column");
}
