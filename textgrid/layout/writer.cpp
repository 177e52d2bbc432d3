#include "textgrid/layout/writer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "textgrid/base/file_descriptor.h"
#include "textgrid/base/interrupt.h"
#include "textgrid/os/pool.h"

namespace textgrid {

namespace {

constexpr std::string_view kHeader = "File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\n";

// The longest time written: the largest double takes 309 digits, the
// smallest subnormal 326 characters, with a sign at most 327.
constexpr std::size_t kMaxTime = 330;

// Writes v by the number rule at p, which must have room for kMaxTime
// characters; returns the end.
char* write_time_by_digits(char* p, double v) noexcept {
    if (std::isnan(v)) {
        std::memcpy(p, "NaN", 3);
        return p + 3;
    }
    if (std::signbit(v)) {
        *p++ = '-';
        v = -v;
    }
    if (std::isinf(v)) {
        std::memcpy(p, "inf", 3);
        return p + 3;
    }
    if (v == 0) {
        *p = '0';
        return p + 1;
    }
    // The scientific form gives the shortest round-trip digits; the fixed
    // form would print the exact binary expansion of large values instead
    // (1e23 as 99999999999999991611392), so the digits are placed by hand.
    char sci[32];
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    char digits[20];
    std::size_t ndigits = 0;
    const char* q = sci;
    for (; *q != 'e'; ++q) {
        if (*q != '.') digits[ndigits++] = *q;
    }
    ++q;                 // 'e'
    if (*q == '+') ++q;  // from_chars takes '-' but not '+'
    int exponent = 0;
    std::from_chars(q, sci_end, exponent);

    // d.ddd x 10^e has e + 1 digits before the decimal point.
    const long before = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(ndigits);
    if (before <= 0) {
        *p++ = '0';
        *p++ = '.';
        std::memset(p, '0', static_cast<std::size_t>(-before));
        p += -before;
        std::memcpy(p, digits, ndigits);
        return p + ndigits;
    }
    if (before >= count) {
        std::memcpy(p, digits, ndigits);
        p += ndigits;
        std::memset(p, '0', static_cast<std::size_t>(before - count));
        return p + (before - count);
    }
    std::memcpy(p, digits, static_cast<std::size_t>(before));
    p += before;
    *p++ = '.';
    std::memcpy(p, digits + before, static_cast<std::size_t>(count - before));
    return p + (count - before);
}

constexpr double kTensUpTo6[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

// Most times come from tools that round them to a few decimals (0.43,
// 12.5). For those the shortest digits are found without the general
// search: they are the fewest decimals, k of 0 to 6, at which the k-decimal
// nearest v reads back as v, since fewer decimals mean fewer digits. Below
// 2^31 the candidates at one k lie 10^-k apart, more than the two ulps of v
// (2^-21 at most) within which one must lie to read back, so at most one
// can and it is the one the search would pick. Such a candidate is within
// a quarter of v x 10^6 once scaled by 10^(6-k): other times are turned
// away at once, and the candidate is v x 10^6 rounded, less its trailing
// zeros. Writes at p, v being positive and finite, and returns the end;
// nullptr when v has no such form.
char* write_few_decimals(char* p, double v) noexcept {
    if (!(v < 2147483648.0)) return nullptr;
    const double scaled = v * 1e6;
    std::uint64_t m = static_cast<std::uint64_t>(scaled + 0.5);
    const double off = scaled - static_cast<double>(m);
    if (off > 0.25 || off < -0.25) return nullptr;
    int k = 6;
    for (; k > 0 && m % 10 == 0; --k) m /= 10;
    if (static_cast<double>(m) / kTensUpTo6[k] != v) return nullptr;
    char digits[24];  // m's digits, last first
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (n <= k) {
        *p++ = '0';
        *p++ = '.';
        for (int i = n; i < k; ++i) *p++ = '0';
        for (int i = n; i-- > 0;) *p++ = digits[i];
        return p;
    }
    for (int i = n; i-- > k;) *p++ = digits[i];
    if (k != 0) {
        *p++ = '.';
        for (int i = k; i-- > 0;) *p++ = digits[i];
    }
    return p;
}

char* write_time(char* p, double v) noexcept {
    if (!std::isfinite(v) || v == 0) return write_time_by_digits(p, v);
    char* start = p;
    if (v < 0) *start++ = '-';
    const double magnitude = std::fabs(v);
    if (char* end = write_few_decimals(start, magnitude)) return end;
    // The shortest form to_chars picks by itself is positional for most
    // other times, with the digits where the rule puts them. Not so where it
    // picks an exponent, nor from 2^53 on, where its positional form gives
    // every digit of the integer (2^60 as 1152921504606846976, not
    // 1152921504606847000): there the digits are laid out by hand.
    if (magnitude < 9007199254740992.0) {
        const auto written = std::to_chars(start, p + kMaxTime, magnitude);
        if (std::memchr(start, 'e', static_cast<std::size_t>(written.ptr - start)) == nullptr) return written.ptr;
    }
    return write_time_by_digits(p, v);
}

void append_count(std::string& out, std::uint64_t n) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

std::string_view class_name(const Tier& tier) { return tier.is_interval ? "IntervalTier" : "TextTier"; }

std::string_view presence(const TextGrid& tg) { return tg.tiers.empty() ? "<absent>" : "<exists>"; }

// A bounded stretch of output assembled on the stack, so that an item costs
// a few appends to the result instead of one per piece.
class Line {
public:
    void put(std::string_view s) noexcept {
        std::memcpy(end_, s.data(), s.size());
        end_ += s.size();
    }
    void time(double v) noexcept { end_ = write_time(end_, v); }
    void count(std::uint64_t n) noexcept { end_ = std::to_chars(end_, buf_ + sizeof buf_, n).ptr; }
    void flush(std::string& out) {
        out.append(buf_, static_cast<std::size_t>(end_ - buf_));
        end_ = buf_;
    }

private:
    // Room for two times, a count and the fixed text of one item.
    char buf_[2 * kMaxTime + 160];
    char* end_ = buf_;
};

// Every time and label line of the long layout ends with a space before CR LF;
// Praat writes it that way and some readers look for it.
void append_long_item(std::string& out, const Tier& tier, std::size_t i) {
    const Item& item = tier.items[i];
    Line line;
    if (tier.is_interval) {
        line.put("        intervals [");
        line.count(i + 1);
        line.put("]:\r\n            xmin = ");
        line.time(item.tmin);
        line.put(" \r\n            xmax = ");
        line.time(item.tmax);
        line.put(" \r\n            text = ");
    } else {
        // A point is written by its tmin alone; a stray tmax is not kept.
        line.put("        points [");
        line.count(i + 1);
        line.put("]:\r\n            number = ");
        line.time(item.tmin);
        line.put(" \r\n            mark = ");
    }
    line.flush(out);
    append_quoted(out, item.label);
    out += " \r\n";
}

void append_short_item(std::string& out, const Tier& tier, std::size_t i) {
    const Item& item = tier.items[i];
    Line line;
    line.time(item.tmin);
    line.put("\r\n");
    if (tier.is_interval) {
        line.time(item.tmax);
        line.put("\r\n");
    }
    line.flush(out);
    append_quoted(out, item.label);
    out += "\r\n";
}

// A close guess of the bytes of items [begin, end): the fixed text of one
// block, two times of typical length and the label. Reserving it keeps the
// output from being copied over and over as it grows.
std::size_t size_guess(const Tier& tier, bool long_layout, std::size_t begin, std::size_t end) {
    // Fixed text plus times of 17 significant digits; an overshoot costs
    // address space only, as pages never written are never touched.
    const std::size_t per_item = long_layout ? (tier.is_interval ? 140 : 96) : (tier.is_interval ? 48 : 28);
    std::size_t guess = (end - begin) * per_item;
    for (std::size_t i = begin; i < end; ++i) guess += tier.items[i].label.size();
    return guess;
}

// For the first piece: the header and the tiers rendered on the calling
// thread, which all land in it.
std::size_t size_guess(const TextGrid& tg, bool long_layout, std::size_t cpus) {
    std::size_t guess = 256;
    for (const Tier& tier : tg.tiers) {
        guess += 256 + tier.name.size();
        if (!runs_on_pool(tier.items.size(), cpus)) guess += size_guess(tier, long_layout, 0, tier.items.size());
    }
    return guess;
}

void append_item_range(std::string& out, const Tier& tier, bool long_layout, std::size_t begin, std::size_t end) {
    out.reserve(out.size() + size_guess(tier, long_layout, begin, end));
    if (long_layout) {
        for (std::size_t i = begin; i < end; ++i) append_long_item(out, tier, i);
    } else {
        for (std::size_t i = begin; i < end; ++i) append_short_item(out, tier, i);
    }
}

// The file text as consecutive pieces, never empty. Small tiers are
// appended to the last piece; the runs of a tier rendered on the pool become
// pieces of their own, so that saving hands them to the kernel as they are
// instead of copying them into one buffer first.
using Pieces = std::vector<std::string>;

void render_item_blocks(Pieces& pieces, const Tier& tier, bool long_layout, std::size_t cpus) {
    const std::size_t n = tier.items.size();
    if (!runs_on_pool(n, cpus)) {
        append_item_range(pieces.back(), tier, long_layout, 0, n);
        return;
    }
    // Each run renders into its own string. Runs are contiguous and at
    // least kMinPiece items long (the whole range when it is shorter), so
    // begin / kMinPiece gives every run a slot of its own, and the slots in
    // order hold the runs in item order.
    std::vector<std::string> runs(n / kMinPiece + 1);
    parallel_for(n, cpus, [&](std::size_t begin, std::size_t end) {
        append_item_range(runs[begin / kMinPiece], tier, long_layout, begin, end);
    });
    for (std::string& run : runs) {
        if (!run.empty()) pieces.push_back(std::move(run));
    }
    pieces.emplace_back();
}

void render_long_tier(Pieces& pieces, const Tier& tier, std::uint64_t index, std::size_t cpus) {
    std::string& out = pieces.back();
    out += "    item [";
    append_count(out, index + 1);
    out += "]:\r\n        class = \"";
    out += class_name(tier);
    out += "\" \r\n        name = ";
    append_quoted(out, tier.name);
    out += " \r\n        xmin = ";
    append_time(out, tier.tmin);
    out += " \r\n        xmax = ";
    append_time(out, tier.tmax);
    out += tier.is_interval ? " \r\n        intervals: size = " : " \r\n        points: size = ";
    append_count(out, tier.items.size());
    out += " \r\n";
    render_item_blocks(pieces, tier, true, cpus);
}

void render_short_tier(Pieces& pieces, const Tier& tier, std::size_t cpus) {
    std::string& out = pieces.back();
    out += '"';
    out += class_name(tier);
    out += "\"\r\n";
    append_quoted(out, tier.name);
    out += "\r\n";
    append_time(out, tier.tmin);
    out += "\r\n";
    append_time(out, tier.tmax);
    out += "\r\n";
    append_count(out, tier.items.size());
    out += "\r\n";
    render_item_blocks(pieces, tier, false, cpus);
}

// The CPU count is read once per file, and not at all for a grid of short
// tiers: reading it takes a system call, which costs more than rendering
// a small tier.
std::size_t cpus_for_grid(const TextGrid& tg) noexcept {
    std::size_t longest = 0;
    for (const Tier& tier : tg.tiers) longest = std::max(longest, tier.items.size());
    return cpus_for(longest);
}

Pieces render_long(const TextGrid& tg) {
    const std::size_t cpus = cpus_for_grid(tg);
    Pieces pieces(1);
    std::string& out = pieces.back();
    out.reserve(size_guess(tg, true, cpus));
    out += kHeader;
    out += "xmin = ";
    append_time(out, tg.tmin);
    out += " \r\nxmax = ";
    append_time(out, tg.tmax);
    out += " \r\ntiers? ";
    out += presence(tg);
    out += " \r\nsize = ";
    append_count(out, tg.tiers.size());
    out += " \r\nitem []: \r\n";
    for (std::size_t i = 0; i < tg.tiers.size(); ++i) {
        poll_interrupt();
        render_long_tier(pieces, tg.tiers[i], i, cpus);
    }
    return pieces;
}

Pieces render_short(const TextGrid& tg) {
    const std::size_t cpus = cpus_for_grid(tg);
    Pieces pieces(1);
    std::string& out = pieces.back();
    out.reserve(size_guess(tg, false, cpus));
    out += kHeader;
    append_time(out, tg.tmin);
    out += "\r\n";
    append_time(out, tg.tmax);
    out += "\r\n";
    out += presence(tg);
    out += "\r\n";
    append_count(out, tg.tiers.size());
    out += "\r\n";
    for (const Tier& tier : tg.tiers) {
        poll_interrupt();
        render_short_tier(pieces, tier, cpus);
    }
    return pieces;
}

std::string join(Pieces&& pieces) {
    if (pieces.size() == 1) return std::move(pieces.front());
    std::size_t total = 0;
    for (const std::string& piece : pieces) total += piece.size();
    std::string out;
    out.reserve(total);
    for (const std::string& piece : pieces) out += piece;
    return out;
}

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

Status write_all(int fd, const Pieces& pieces) {
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

Status write_file(const std::string& path, const Pieces& pieces) {
    detail::FileDescriptor fd(open_for_writing(path));
    if (fd.get() < 0) return Error::from_errno(errno);
    if (auto st = write_all(fd.get(), pieces); !st) return st;
    return fd.close();
}

}  // namespace

void append_time(std::string& out, double v) {
    char buf[kMaxTime];
    out.append(buf, write_time(buf, v));
}

std::string format_time(double v) {
    std::string out;
    append_time(out, v);
    return out;
}

std::string detail::format_time_by_digits(double v) {
    char buf[kMaxTime];
    return {buf, write_time_by_digits(buf, v)};
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    std::size_t start = 0;
    for (std::size_t q = text.find('"'); q != std::string_view::npos; q = text.find('"', q + 1)) {
        out.append(text, start, q + 1 - start);
        out += '"';
        start = q + 1;
    }
    out.append(text, start);
    out += '"';
}

namespace detail {

void append_item_blocks(std::string& out, const Tier& tier, bool long_layout, std::size_t cpus) {
    Pieces pieces(1);
    render_item_blocks(pieces, tier, long_layout, cpus);
    out += join(std::move(pieces));
}

}  // namespace detail

std::string Tier::to_long_textgrid_string(std::uint64_t index) const {
    Pieces pieces(1);
    render_long_tier(pieces, *this, index, cpus_for(items.size()));
    return join(std::move(pieces));
}

std::string Tier::to_short_textgrid_string() const {
    Pieces pieces(1);
    render_short_tier(pieces, *this, cpus_for(items.size()));
    return join(std::move(pieces));
}

std::string TextGrid::to_long_textgrid_string() const { return join(render_long(*this)); }

std::string TextGrid::to_short_textgrid_string() const { return join(render_short(*this)); }

Status TextGrid::save_textgrid(const std::string& path, bool long_format) const {
    // open() would stop at a NUL and create some other file.
    if (path.find('\0') != std::string::npos) return Error::invalid_input("file path contains a NUL byte");
    // The whole text is rendered before the file is opened, so that running
    // out of memory cannot leave a truncated file behind.
    const Pieces pieces = long_format ? render_long(*this) : render_short(*this);
    return write_file(path, pieces);
}

}  // namespace textgrid
