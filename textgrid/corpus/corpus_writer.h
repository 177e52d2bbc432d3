// A corpus of TextGrid files written back from tables: one row per item,
// and optionally one per tier and one per file for what items alone cannot
// say (bounds, empty tiers, tier order). One file is written per distinct
// `file` value, below one output folder, on the worker pool.
//
// No file ends the call: a grid that fails validation, a path that leads
// outside the output folder or cannot be written, an existing file that may
// not be replaced, each gives a failure for its file, and the others are
// written. Every file is written whole or not at all (output_tree.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/base/result.h"

namespace textgrid {

// Columns as the Arrow import gives them (arrow_import.h); strings view
// buffers that outlive the write. An empty optional column is absent.
struct CorpusItemRows {
    std::vector<std::string_view> file, tier, label;
    std::vector<double> tmin, tmax;
    std::vector<std::uint8_t> is_interval;   // absent: every tier is an interval tier
    std::vector<std::uint64_t> tier_index;   // absent: tiers told apart by name
};

struct CorpusTierRows {
    bool given = false;
    std::vector<std::string_view> file, tier;
    std::vector<double> tmin, tmax;
    std::vector<std::uint8_t> is_interval;   // absent: interval tiers
    std::vector<std::uint64_t> tier_index;   // absent: the row's rank among its file's rows
};

struct CorpusFileRows {
    bool given = false;
    std::vector<std::string_view> file;
    std::vector<double> tmin, tmax;
};

struct CorpusTables {
    CorpusItemRows items;
    CorpusTierRows tiers;
    CorpusFileRows files;
};

struct CorpusWriteOptions {
    bool long_layout = true;
    bool overwrite = false;
};

struct WriteFailure {
    std::string file;     // the `file` value
    std::string path;     // where it was to be written ("" when no path could be made)
    std::string message;
};

struct WriteReport {
    std::vector<WriteFailure> failures;  // in file order
    std::size_t files_written = 0;
    std::size_t files_total = 0;
};

// Writes one file per distinct `file` value, files in the order they first
// appear in the files table, then the tiers table, then the items.
//
// A relative value is joined to out_dir; absolute values are taken relative
// to the longest folder they share. Tiers follow tier_index where one is
// known, else their first appearance; items are sorted by start time within
// their tier. Bounds come from the files and tiers tables; what they do not
// give is derived: a grid spans its tiers and items, a tier spans its grid.
// Grids are validated as data2textgrid does, with its messages.
//
// Returns an os error only when out_dir itself cannot be made or opened.
// Throws Interrupted (files already renamed stay, whole) and
// std::bad_alloc.
Result<WriteReport> write_corpus(const CorpusTables& tables, const std::string& out_dir,
                                 const CorpusWriteOptions& options);

}  // namespace textgrid
