#include "textgrid/writer.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "textgrid/pool.h"

namespace textgrid {

namespace {

constexpr std::string_view kHeader = "File type = \"ooTextFile\"\r\nObject class = \"TextGrid\"\r\n\r\n";

void append_count(std::string& out, std::uint64_t n) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

std::string_view class_name(const Tier& tier) { return tier.is_interval ? "IntervalTier" : "TextTier"; }

std::string_view presence(const TextGrid& tg) { return tg.tiers.empty() ? "<absent>" : "<exists>"; }

// Every time and label line of the long layout ends with a space before CR LF;
// Praat writes it that way and some readers look for it.
void append_long_item(std::string& out, const Tier& tier, std::size_t i) {
    const Item& item = tier.items[i];
    if (tier.is_interval) {
        out += "        intervals [";
        append_count(out, i + 1);
        out += "]:\r\n            xmin = ";
        append_time(out, item.tmin);
        out += " \r\n            xmax = ";
        append_time(out, item.tmax);
        out += " \r\n            text = ";
        append_quoted(out, item.label);
        out += " \r\n";
    } else {
        // A point is written by its tmin alone; a stray tmax is not kept.
        out += "        points [";
        append_count(out, i + 1);
        out += "]:\r\n            number = ";
        append_time(out, item.tmin);
        out += " \r\n            mark = ";
        append_quoted(out, item.label);
        out += " \r\n";
    }
}

void append_short_item(std::string& out, const Tier& tier, std::size_t i) {
    const Item& item = tier.items[i];
    append_time(out, item.tmin);
    out += "\r\n";
    if (tier.is_interval) {
        append_time(out, item.tmax);
        out += "\r\n";
    }
    append_quoted(out, item.label);
    out += "\r\n";
}

void append_item_range(std::string& out, const Tier& tier, bool long_layout, std::size_t begin, std::size_t end) {
    // A close guess of the size keeps the string from being copied as it
    // grows: the fixed text of one block, two times and the label.
    std::size_t guess = 0;
    for (std::size_t i = begin; i < end; ++i) guess += tier.items[i].label.size();
    guess += (end - begin) * (long_layout ? 120 : 48);
    out.reserve(out.size() + guess);
    if (long_layout) {
        for (std::size_t i = begin; i < end; ++i) append_long_item(out, tier, i);
    } else {
        for (std::size_t i = begin; i < end; ++i) append_short_item(out, tier, i);
    }
}

void append_long_tier(std::string& out, const Tier& tier, std::uint64_t index) {
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
    detail::append_item_blocks(out, tier, true, available_cpus());
}

void append_short_tier(std::string& out, const Tier& tier) {
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
    detail::append_item_blocks(out, tier, false, available_cpus());
}

// Owns one open file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }

    int get() const noexcept { return fd_; }

    // Closes now so that a failure to flush (NFS, quotas) is reported.
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

Status write_all(int fd, std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::from_errno(errno);
        }
        // A write that takes nothing would loop for ever; the device is
        // refusing the data, so report it as the I/O error it is.
        if (n == 0) return Error::from_errno(EIO);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return Ok{};
}

Status write_file(const std::string& path, std::string_view text) {
    // open() would silently stop at the NUL and create a different file.
    if (path.find('\0') != std::string::npos) return Error::invalid_input("file path contains a NUL byte");
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return Error::from_errno(errno);
    if (auto st = write_all(fd.get(), text); !st) return st;
    return fd.close();
}

}  // namespace

void append_time(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    if (v == 0) {
        out += std::signbit(v) ? "-0" : "0";
        return;
    }
    // The scientific form gives the shortest round-trip digits; the fixed
    // form would print the exact binary expansion of large values instead
    // (1e23 as 99999999999999991611392), so the digits are placed by hand.
    char buf[40];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const char* p = buf;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[24];
    std::size_t ndigits = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[ndigits++] = *p;
    }
    ++p;                   // 'e'
    if (*p == '+') ++p;    // from_chars takes '-' but not '+'
    int exponent = 0;
    std::from_chars(p, res.ptr, exponent);

    // Digits before the decimal point: d.ddd x 10^e has e + 1 of them.
    const long before = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(ndigits);
    if (before <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-before), '0');
        out.append(digits, ndigits);
    } else if (before >= count) {
        out.append(digits, ndigits);
        out.append(static_cast<std::size_t>(before - count), '0');
    } else {
        out.append(digits, static_cast<std::size_t>(before));
        out += '.';
        out.append(digits + before, static_cast<std::size_t>(count - before));
    }
}

std::string format_time(double v) {
    std::string out;
    append_time(out, v);
    return out;
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
    const std::size_t n = tier.items.size();
    if (!runs_on_pool(n, cpus)) {
        append_item_range(out, tier, long_layout, 0, n);
        return;
    }
    // Each run renders into its own string. Runs are contiguous and at
    // least kMinPiece items long (the whole range when it is shorter), so
    // begin / kMinPiece tells every run its own slot, and the slots in order
    // are the runs in item order.
    std::vector<std::string> runs(n / kMinPiece + 1);
    textgrid::parallel_for(n, cpus, [&](std::size_t begin, std::size_t end) {
        append_item_range(runs[begin / kMinPiece], tier, long_layout, begin, end);
    });
    std::size_t total = 0;
    for (const std::string& run : runs) total += run.size();
    out.reserve(out.size() + total);
    for (const std::string& run : runs) out += run;
}

}  // namespace detail

std::string Tier::to_long_textgrid_string(std::uint64_t index) const {
    std::string out;
    append_long_tier(out, *this, index);
    return out;
}

std::string Tier::to_short_textgrid_string() const {
    std::string out;
    append_short_tier(out, *this);
    return out;
}

std::string TextGrid::to_long_textgrid_string() const {
    std::string out(kHeader);
    out += "xmin = ";
    append_time(out, tmin);
    out += " \r\nxmax = ";
    append_time(out, tmax);
    out += " \r\ntiers? ";
    out += presence(*this);
    out += " \r\nsize = ";
    append_count(out, tiers.size());
    out += " \r\nitem []: \r\n";
    for (std::size_t i = 0; i < tiers.size(); ++i) append_long_tier(out, tiers[i], i);
    return out;
}

std::string TextGrid::to_short_textgrid_string() const {
    std::string out(kHeader);
    append_time(out, tmin);
    out += "\r\n";
    append_time(out, tmax);
    out += "\r\n";
    out += presence(*this);
    out += "\r\n";
    append_count(out, tiers.size());
    out += "\r\n";
    for (const Tier& tier : tiers) append_short_tier(out, tier);
    return out;
}

Status TextGrid::save_textgrid(const std::string& path, bool long_format) const {
    // Rendered before the file is opened, so that running out of memory
    // cannot leave a truncated file behind.
    const std::string text = long_format ? to_long_textgrid_string() : to_short_textgrid_string();
    return write_file(path, text);
}

}  // namespace textgrid
