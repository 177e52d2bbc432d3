// Reads each file named on a line of standard input with Praat's text
// decoding and "auto" layout, leniently, and prints what it holds in the
// report form of tests/praat_helpers.py: "G tmin tmax", then "T is_interval
// name" per tier and "I tmin tmax label" or "P time label" per item, fields
// apart by tabs, names and labels with backslash, LF, CR and tab escaped; a
// file that gives a read error or a fatal read failure prints "E". Times are
// the shortest digits that read back as the same double.
// Used by the real-world comparison with Praat (tests/test_realworld.py).
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>

#include "textgrid/layout/read.h"

using namespace textgrid;

namespace {

std::string escaped(const std::string& s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out;
}

std::string number(double v) {
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    return std::string(buf, end);
}

std::string report(const TextGrid& grid) {
    std::string out = "G\t" + number(grid.tmin) + "\t" + number(grid.tmax) + "\n";
    for (const Tier& tier : grid.tiers) {
        out += std::string("T\t") + (tier.is_interval ? "1" : "0") + "\t" + escaped(tier.name) + "\n";
        for (const Item& item : tier.items) {
            if (tier.is_interval) {
                out += "I\t" + number(item.tmin) + "\t" + number(item.tmax) + "\t" + escaped(item.label) + "\n";
            } else {
                out += "P\t" + number(item.tmin) + "\t" + escaped(item.label) + "\n";
            }
        }
    }
    return out;
}

}  // namespace

int main() {
    std::string path;
    while (std::getline(std::cin, path)) {
        std::string out = "E\n";
        try {
            const Result<TextGrid> grid = read_from_file(path, false, Layout::auto_, Encoding::praat);
            if (grid) out = report(grid.value());
        } catch (const FatalReadError&) {
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    return 0;
}
