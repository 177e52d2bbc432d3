#include "textgrid/corpus/corpus_writer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "textgrid/base/interrupt.h"
#include "textgrid/layout/writer.h"
#include "textgrid/model/textgrid.h"
#include "textgrid/os/output_tree.h"
#include "textgrid/os/pool.h"

namespace textgrid {

namespace {

constexpr std::uint64_t kNoIndex = std::numeric_limits<std::uint64_t>::max();

// The rows of each file in one table, in row order: rows[start[f]] up to
// rows[start[f + 1]].
struct RowsByFile {
    std::vector<std::size_t> start;
    std::vector<std::size_t> rows;

    void build(const std::vector<std::uint32_t>& file_of, std::size_t files) {
        start.assign(files + 1, 0);
        for (std::uint32_t f : file_of) ++start[f + 1];
        for (std::size_t f = 0; f < files; ++f) start[f + 1] += start[f];
        rows.resize(file_of.size());
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (std::size_t r = 0; r < file_of.size(); ++r) rows[next[file_of[r]]++] = r;
    }
    std::size_t begin(std::size_t f) const { return start[f]; }
    std::size_t end(std::size_t f) const { return start[f + 1]; }
};

// Gives each distinct file value a number in order of first appearance.
class FileNumbers {
public:
    std::vector<std::uint32_t> number(const std::vector<std::string_view>& column) {
        std::vector<std::uint32_t> out(column.size());
        InterruptPoller poller;
        for (std::size_t r = 0; r < column.size(); ++r) {
            poller.tick();
            // The rows of one file mostly come together.
            if (r > 0 && column[r] == column[r - 1]) {
                out[r] = out[r - 1];
                continue;
            }
            auto [it, added] = ids_.try_emplace(column[r], static_cast<std::uint32_t>(names.size()));
            if (added) names.push_back(column[r]);
            out[r] = it->second;
        }
        return out;
    }
    std::vector<std::string_view> names;

private:
    std::unordered_map<std::string_view, std::uint32_t> ids_;
};

// Where a file goes below the output folder: its folder and its name.
struct Target {
    std::string folder;
    std::string name;
    std::string error;  // why no target can be made
};

std::string_view folder_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// The longest folder, on component boundaries, that holds every absolute
// value; "" for the file system's root.
std::optional<std::string_view> common_folder(const std::vector<std::string_view>& names) {
    std::optional<std::string_view> common;
    for (std::string_view name : names) {
        if (name.empty() || name[0] != '/') continue;
        const std::string_view dir = folder_of(name);
        if (!common) {
            common = dir;
            continue;
        }
        const std::string_view c = *common;
        std::size_t n = 0;
        while (n < c.size() && n < dir.size() && c[n] == dir[n]) ++n;
        if (n == c.size() && (n == dir.size() || dir[n] == '/')) continue;
        if (n == dir.size() && c[n] == '/') {
            common = dir;
            continue;
        }
        const std::size_t cut = c.rfind('/', n - 1);
        common = c.substr(0, cut == std::string_view::npos ? 0 : cut);
    }
    return common;
}

Target target_of(std::string_view name, std::optional<std::string_view> common) {
    Target t;
    std::string_view rel = name;
    if (!name.empty() && name[0] == '/') rel = name.substr(common->size() + 1);
    if (rel.find('\0') != std::string_view::npos) {
        t.error = "the path contains a NUL byte";
        return t;
    }
    // A ".." anywhere is refused, even one that would stay inside: the
    // folders are walked without resolving it.
    for (std::size_t start = 0; start <= rel.size();) {
        std::size_t end = rel.find('/', start);
        if (end == std::string_view::npos) end = rel.size();
        if (rel.substr(start, end - start) == "..") {
            t.error = "the path leads outside the output folder";
            return t;
        }
        start = end + 1;
    }
    const std::size_t slash = rel.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    if (base.empty() || base == ".") {
        t.error = "the path names no file";
        return t;
    }
    t.folder = std::string(folder_of(rel));
    t.name = std::string(base);
    return t;
}

std::string join_path(const std::string& out_dir, const Target& t) {
    std::string path = out_dir;
    if (!path.empty() && path.back() != '/') path += '/';
    if (!t.folder.empty()) path += t.folder + "/";
    return path + t.name;
}

// One tier of one file while its rows are gathered.
struct TierBuild {
    std::string_view name;
    bool is_interval = true;
    std::uint64_t index = kNoIndex;
    std::optional<double> tmin, tmax;
    std::vector<std::size_t> rows;  // item rows
};

// Validation lets NaN pass (every comparison with it is false), and the
// writers would write "NaN" or "inf", which no reader takes back: a file
// that could not be read again is refused instead.
Status assert_finite(const TextGrid& grid) {
    auto finite = [](double a, double b) { return std::isfinite(a) && std::isfinite(b); };
    if (!finite(grid.tmin, grid.tmax)) return Error::invalid_data("Time bounds should be finite in TextGrid");
    for (const Tier& tier : grid.tiers) {
        if (!finite(tier.tmin, tier.tmax))
            return Error::invalid_data("Time bounds should be finite in tier " + tier.name);
        for (std::size_t i = 0; i < tier.items.size(); ++i) {
            if (!finite(tier.items[i].tmin, tier.items[i].tmax))
                return Error::invalid_data("Time bounds should be finite in item " + std::to_string(i) +
                                           " in tier " + tier.name);
        }
    }
    return Ok{};
}

class GridBuilder {
public:
    GridBuilder(const CorpusTables& t, const RowsByFile& items, const RowsByFile& tiers,
                const std::vector<std::size_t>& file_row)
        : t_(t), items_(items), tiers_(tiers), file_row_(file_row) {}

    Result<TextGrid> build(std::size_t f) const {
        std::vector<TierBuild> tiers;
        std::unordered_map<std::uint64_t, std::size_t> by_index;
        std::unordered_map<std::string_view, std::size_t> by_name;
        const CorpusTierRows& tr = t_.tiers;
        for (std::size_t k = tiers_.begin(f); k < tiers_.end(f); ++k) {
            const std::size_t r = tiers_.rows[k];
            TierBuild tier;
            tier.name = tr.tier[r];
            tier.is_interval = tr.is_interval.empty() || tr.is_interval[r] != 0;
            tier.index = tr.tier_index.empty() ? k - tiers_.begin(f) : tr.tier_index[r];
            tier.tmin = tr.tmin[r];
            tier.tmax = tr.tmax[r];
            if (!by_index.try_emplace(tier.index, tiers.size()).second) {
                return Error::invalid_data("tier_index " + std::to_string(tier.index) +
                                           " appears twice in the tiers table");
            }
            by_name.try_emplace(tier.name, tiers.size());
            tiers.push_back(std::move(tier));
        }

        const CorpusItemRows& ir = t_.items;
        const bool indexed = !ir.tier_index.empty();
        std::size_t previous = kNoIndex;
        std::size_t previous_row = 0;
        for (std::size_t k = items_.begin(f); k < items_.end(f); ++k) {
            const std::size_t r = items_.rows[k];
            std::size_t at;
            if (previous != kNoIndex && (indexed ? ir.tier_index[r] == ir.tier_index[previous_row]
                                                 : ir.tier[r] == ir.tier[previous_row])) {
                at = previous;
            } else {
                bool added;
                if (indexed) {
                    auto [it, fresh] = by_index.try_emplace(ir.tier_index[r], tiers.size());
                    added = fresh;
                    at = it->second;
                } else {
                    auto [it, fresh] = by_name.try_emplace(ir.tier[r], tiers.size());
                    added = fresh;
                    at = it->second;
                }
                if (added) {
                    TierBuild tier;
                    tier.name = ir.tier[r];
                    tier.is_interval = ir.is_interval.empty() || ir.is_interval[r] != 0;
                    if (indexed) tier.index = ir.tier_index[r];
                    tiers.push_back(std::move(tier));
                }
            }
            // A renamed tier must not be written under its old name.
            if (tiers[at].name != ir.tier[r]) {
                return Error::invalid_data("items row " + std::to_string(r) + " names tier " + std::string(ir.tier[r]) +
                                           " but its tier_index is tier " + std::string(tiers[at].name) +
                                           " in the tiers table");
            }
            tiers[at].rows.push_back(r);
            previous = at;
            previous_row = r;
        }
        std::stable_sort(tiers.begin(), tiers.end(),
                         [](const TierBuild& a, const TierBuild& b) { return a.index < b.index; });

        TextGrid grid;
        grid.name = "TextGrid";
        grid.tiers.reserve(tiers.size());
        // Derived bounds start from the largest finite double and combine
        // with fmin/fmax, as data2textgrid derives them, so NaN is skipped.
        constexpr double kLargest = std::numeric_limits<double>::max();
        double low = kLargest;
        double high = -kLargest;
        bool any = false;
        for (TierBuild& build : tiers) {
            Tier tier;
            tier.name = std::string(build.name);
            tier.is_interval = build.is_interval;
            tier.items.reserve(build.rows.size());
            std::size_t nan_row = kNoIndex;
            for (std::size_t r : build.rows) {
                tier.items.push_back(Item{std::string(ir.label[r]), ir.tmin[r], ir.tmax[r]});
                if (std::isnan(ir.tmin[r]) && nan_row == kNoIndex) nan_row = r;
                low = std::fmin(low, ir.tmin[r]);
                high = std::fmax(high, ir.tmax[r]);
                any = true;
            }
            if (build.tmin) {
                low = std::fmin(low, *build.tmin);
                any = true;
            }
            if (build.tmax) {
                high = std::fmax(high, *build.tmax);
                any = true;
            }
            if (tier.items.size() >= 2) {
                if (nan_row != kNoIndex) {
                    return Error::invalid_data("Cannot sort tier " + tier.name + " by start time: row " +
                                               std::to_string(nan_row) + " has a NaN tmin");
                }
                auto by_start = [](const Item& a, const Item& b) { return a.tmin < b.tmin; };
                if (!std::is_sorted(tier.items.begin(), tier.items.end(), by_start))
                    std::stable_sort(tier.items.begin(), tier.items.end(), by_start);
            }
            tier.size = tier.items.size();
            grid.tiers.push_back(std::move(tier));
        }
        if (file_row_[f] != kNoIndex) {
            grid.tmin = t_.files.tmin[file_row_[f]];
            grid.tmax = t_.files.tmax[file_row_[f]];
        } else if (any) {
            grid.tmin = low;
            grid.tmax = high;
        }
        for (std::size_t i = 0; i < tiers.size(); ++i) {
            grid.tiers[i].tmin = tiers[i].tmin ? *tiers[i].tmin : grid.tmin;
            grid.tiers[i].tmax = tiers[i].tmax ? *tiers[i].tmax : grid.tmax;
        }
        grid.size = grid.tiers.size();
        if (auto st = TextGrid::assert_valid(grid); !st) return std::move(st.error());
        if (auto st = assert_finite(grid); !st) return std::move(st.error());
        return grid;
    }

private:
    const CorpusTables& t_;
    const RowsByFile& items_;
    const RowsByFile& tiers_;
    const std::vector<std::size_t>& file_row_;
};

struct Outcome {
    bool written = false;
    std::string message;
};

}  // namespace

Result<WriteReport> write_corpus(const CorpusTables& tables, const std::string& out_dir,
                                 const CorpusWriteOptions& options) {
    Result<std::unique_ptr<OutputTree>> opened = OutputTree::open(out_dir);
    if (!opened) return std::move(opened.error());
    OutputTree& tree = *opened.value();

    FileNumbers numbers;
    const std::vector<std::uint32_t> file_of_file = numbers.number(tables.files.file);
    const std::vector<std::uint32_t> file_of_tier = numbers.number(tables.tiers.file);
    const std::vector<std::uint32_t> file_of_item = numbers.number(tables.items.file);
    const std::size_t files = numbers.names.size();

    RowsByFile items;
    items.build(file_of_item, files);
    RowsByFile tiers;
    tiers.build(file_of_tier, files);
    std::vector<std::size_t> file_row(files, kNoIndex);
    std::vector<Outcome> outcomes(files);
    for (std::size_t r = 0; r < file_of_file.size(); ++r) {
        std::size_t& row = file_row[file_of_file[r]];
        if (row == kNoIndex) {
            row = r;
        } else {
            outcomes[file_of_file[r]].message = "the file appears twice in the files table";
        }
    }

    const std::optional<std::string_view> common = common_folder(numbers.names);
    std::vector<Target> targets(files);
    for (std::size_t f = 0; f < files; ++f) targets[f] = target_of(numbers.names[f], common);

    const GridBuilder builder(tables, items, tiers, file_row);
    const std::size_t cpus = available_cpus();
    parallel_for(files, cpus, [&](std::size_t begin, std::size_t end) {
        for (std::size_t f = begin; f < end; ++f) {
            poll_interrupt();
            Outcome& outcome = outcomes[f];
            if (!outcome.message.empty()) continue;
            const Target& target = targets[f];
            if (!target.error.empty()) {
                outcome.message = target.error;
                continue;
            }
            Result<TextGrid> grid = builder.build(f);
            if (!grid) {
                outcome.message = grid.error().text();
                continue;
            }
            Result<OutputTree::Folder> folder = tree.folder(target.folder);
            if (!folder) {
                outcome.message = folder.error().text();
                continue;
            }
            const std::string text = render_among_many(grid.value(), options.long_layout);
            if (auto st = tree.write_file(folder.value(), target.name, text, options.overwrite); !st) {
                outcome.message = st.error().text();
                continue;
            }
            outcome.written = true;
        }
    });

    WriteReport report;
    report.files_total = files;
    for (std::size_t f = 0; f < files; ++f) {
        if (outcomes[f].written) {
            ++report.files_written;
            continue;
        }
        const Target& target = targets[f];
        report.failures.push_back(WriteFailure{std::string(numbers.names[f]),
                                               target.error.empty() ? join_path(out_dir, target) : std::string(),
                                               std::move(outcomes[f].message)});
    }
    return report;
}

}  // namespace textgrid
