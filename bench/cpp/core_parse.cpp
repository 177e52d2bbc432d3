// The floors of reading a TextGrid, on one thread with the text in memory:
// the core parse of either layout, UTF-8 validation, and a bare count of
// line feeds with memchr, the least any line-based reader must do; and for
// a corpus, the core reading every file of a list (one path a line) from
// disk as the corpus stream does, on one thread, with nothing made of it.
//
//     core_parse FILE long|short|praat REPEAT
//     core_parse --corpus LIST REPEAT [praat]
//
// Prints one JSON object: the file's size and the median seconds of each
// step over REPEAT runs, elapsed and as CPU time of the thread. With REPEAT 1 it runs each step once, which is
// what an instruction count under callgrind wants.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>

#include "textgrid/os/file_io.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/layout/read.h"
#include "textgrid/layout/parser_long_detail.h"
#include "textgrid/layout/parser_short.h"
#include "textgrid/layout/praat_read.h"

namespace {

double thread_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Figure {
    double wall = 0;  // median elapsed seconds
    double cpu = 0;   // median CPU seconds of this thread: on a loaded machine, the time it really ran
};

template <typename Step>
Figure median_seconds(int repeat, Step&& step) {
    std::vector<double> walls, cpus;
    for (int i = 0; i < repeat; ++i) {
        const double cpu_start = thread_seconds();
        const auto start = std::chrono::steady_clock::now();
        step();
        walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpus.push_back(thread_seconds() - cpu_start);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

std::size_t count_line_feeds(std::string_view text) {
    std::size_t count = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
        ++count;
        p = static_cast<const char*>(lf) + 1;
    }
    return count;
}

// The floor under any reader of many files: what is left when nothing is
// built from the grids.
int corpus_floor(const char* list, int repeat, bool praat) {
    std::ifstream in(list);
    std::vector<std::string> paths;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) paths.push_back(line);
    }
    std::size_t items = 0;
    std::size_t failed = 0;
    const Figure read = median_seconds(repeat, [&] {
        items = failed = 0;
        for (const std::string& path : paths) {
            try {
                auto grid = praat ? textgrid::read_praat_file(path, false)
                                  : textgrid::read_from_file(path, false, textgrid::Layout::auto_, textgrid::Encoding::praat);
                if (!grid) {
                    ++failed;
                    continue;
                }
                for (const auto& tier : grid.value().tiers) items += tier.items.size();
            } catch (const textgrid::FatalReadError&) {
                ++failed;
            }
        }
    });
    std::printf("{\"files\": %zu, \"failed\": %zu, \"items\": %zu, \"read_parse_s\": %.9f, "
                "\"read_parse_cpu_s\": %.9f}\n",
                paths.size(), failed, items, read.wall, read.cpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--corpus") == 0) {
        return corpus_floor(argv[2], std::max(1, std::atoi(argv[3])), argc == 5 && std::strcmp(argv[4], "praat") == 0);
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: core_parse FILE long|short|praat REPEAT\n       core_parse --corpus LIST REPEAT [praat]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    std::string text(static_cast<std::size_t>(std::max<std::streamoff>(0, in.tellg())), '\0');
    in.seekg(0);
    if (!in || !in.read(text.data(), static_cast<std::streamsize>(text.size()))) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const bool long_layout = std::strcmp(argv[2], "long") == 0;
    const bool praat_layout = std::strcmp(argv[2], "praat") == 0;
    const int repeat = std::max(1, std::atoi(argv[3]));

    std::size_t items = 0;
    const Figure parse = median_seconds(repeat, [&] {
        const textgrid::TextGrid grid = praat_layout  ? textgrid::parse_praat_text(text, "core", false).value()
                                        : long_layout ? textgrid::detail::parse_long_one_pass(text, "core")
                                                      : textgrid::parse_short(text, "core");
        items = 0;
        for (const auto& tier : grid.tiers) items += tier.items.size();
    });
    bool valid = false;
    const Figure validate = median_seconds(repeat, [&] { valid = textgrid::is_valid_utf8(text); });
    std::size_t lines = 0;
    const Figure scan = median_seconds(repeat, [&] { lines = count_line_feeds(text); });
    std::printf("{\"bytes\": %zu, \"items\": %zu, \"lines\": %zu, \"valid_utf8\": %s, \"parse_s\": %.9f, "
                "\"validate_s\": %.9f, \"line_feeds_s\": %.9f, \"parse_cpu_s\": %.9f, \"validate_cpu_s\": %.9f, "
                "\"line_feeds_cpu_s\": %.9f}\n",
                text.size(), items, lines, valid ? "true" : "false", parse.wall, validate.wall, scan.wall, parse.cpu,
                validate.cpu, scan.cpu);
    return 0;
}
