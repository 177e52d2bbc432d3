// Rows of many TextGrid files as Arrow record batches: the column buffers and
// the Arrow C structs that hand them to any consumer without a copy.
//
// A stream holds rows of one level, and every batch of it one schema. The
// items level, one row per interval or point:
//   file_id     uint32                   position of the file in the input
//   file        dictionary<int32, utf8>  the file's path as given
//   tier        dictionary<int32, utf8>  the tier's name
//   tier_index  uint32                   position of the tier in its file
//   is_interval bool                     interval tier or point tier
//   tmin, tmax  float64
//   label       utf8                     the label's bytes, exactly
// The tiers level, one row per tier (a tier without items too):
//   file_id, file, tier_index, tier, is_interval as above
//   tmin, tmax  float64                  the tier's own bounds
//   size        uint32                   the tier's items
// The files level, one row per file read:
//   file_id, file as above
//   tmin, tmax  float64                  the grid's bounds
//   tiers       uint32                   the grid's tiers
// The three levels of one set of files agree on file_id, file and
// tier_index, so that they join on them.
// No field is nullable. The dictionaries belong to each batch and hold only
// what its rows use. Labels are one contiguous buffer with 32-bit offsets: a
// batch is cut before its labels would pass 2 GiB (a file's rows then carry
// over into the next batch), so the 64-bit string type is never needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "textgrid/corpus/arrow_c.h"
#include "textgrid/base/column.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

enum class RowLevel : std::uint8_t { items, tiers, files };

// The most label bytes 32-bit offsets can address.
inline constexpr std::size_t kMaxBatchLabelBytes = 0x7fffffff;

// Fills *out with the schema of the level; the receiver owns it. Throws
// std::bad_alloc, leaving *out untouched.
void export_corpus_schema(ArrowSchema* out, RowLevel level = RowLevel::items);

// One file's rows in column form, made on the thread that read the file so
// that its TextGrid can be freed at once. Rows run tier by tier in file
// order, within a tier in item order.
struct FileRows {
    struct TierRun {
        std::string name;
        std::size_t rows = 0;  // 0 for a tier without items: it still uses up its index
        bool is_interval = true;
        double tmin = 0;
        double tmax = 0;
    };
    std::vector<TierRun> tiers;  // every tier of the file, in order
    double tmin = 0;             // the grid's bounds
    double tmax = 0;
    // The columns below hold the items; to_file_rows fills them only for
    // the items level.
    Column<double> tmins;
    Column<double> tmaxs;
    Column<std::uint64_t> label_ends;  // end of row i's label in label_bytes
    Column<char> label_bytes;

    std::size_t rows() const noexcept { return tmins.size(); }
};

// Copies what the level's rows need: the bounds and tiers, and at the items
// level the items of every tier. Never fails; may throw std::bad_alloc.
FileRows to_file_rows(const TextGrid& textgrid, RowLevel level = RowLevel::items);

// Owns one exported struct array until it is handed on; releases it when
// destroyed. Move-only.
class ArrowBatch {
public:
    ArrowBatch() noexcept;
    explicit ArrowBatch(const ArrowArray& adopted) noexcept : array_(adopted) {}
    ArrowBatch(ArrowBatch&& other) noexcept;
    ArrowBatch& operator=(ArrowBatch&& other) noexcept;
    ArrowBatch(const ArrowBatch&) = delete;
    ArrowBatch& operator=(const ArrowBatch&) = delete;
    ~ArrowBatch();

    std::int64_t rows() const noexcept { return array_.length; }
    const ArrowArray& array() const noexcept { return array_; }
    // Moves the struct into *out (which must hold no live struct); this
    // batch is empty afterwards.
    void export_to(ArrowArray* out) noexcept;

private:
    ArrowArray array_;
};

// Gathers the rows of consecutive files into batches of one level. Not
// thread-safe: one builder per thread.
class ArrowBatchBuilder {
public:
    // max_label_bytes is the cut-off described above (items level only);
    // tests pass a small one.
    explicit ArrowBatchBuilder(std::size_t max_label_bytes = kMaxBatchLabelBytes,
                               RowLevel level = RowLevel::items);
    ~ArrowBatchBuilder();
    ArrowBatchBuilder(const ArrowBatchBuilder&) = delete;
    ArrowBatchBuilder& operator=(const ArrowBatchBuilder&) = delete;

    // Appends the rows of one file, path being what the file column shows
    // (it must be UTF-8, as must the names and labels). A file without rows
    // (at the items level a file without items, at the tiers level one
    // without tiers) adds nothing, not even a dictionary entry. Throws std::bad_alloc, and
    // std::length_error for a single label over max_label_bytes; the rows
    // of this file may then be partly appended, and the builder is to be
    // dropped. The FileRows form is for files converted on other threads;
    // a TextGrid at hand goes in directly, in one pass.
    void append(std::uint32_t file_id, std::string_view path, const FileRows& rows);
    void append(std::uint32_t file_id, std::string_view path, const TextGrid& textgrid);

    std::size_t rows() const noexcept;

    // Makes room for rows more rows holding label_bytes more label bytes
    // (as far as the cut-off lets them into the current batch), so that a
    // batch whose size is known holds no slack. Throws std::bad_alloc.
    void reserve(std::size_t rows, std::size_t label_bytes);

    // The rows appended since the last call, as batches in row order: one,
    // or more where the label cut-off fell; none when no row was appended.
    // The builder starts afresh. Throws std::bad_alloc (the rows are lost).
    std::vector<ArrowBatch> finish();

private:
    struct Current;
    // Opens n rows of one tier: the file and tier keys and every column
    // but the times and labels, which the caller appends.
    void start_rows(std::uint32_t file_id, std::string_view path, std::string_view tier_name,
                            std::size_t tier_index, bool is_interval, std::size_t n);
    // The one row of a tier, or of a file, at the tiers and files levels.
    void append_tier_row(std::uint32_t file_id, std::string_view path, std::string_view tier_name,
                         std::size_t tier_index, bool is_interval, double tmin, double tmax, std::size_t size);
    void append_file_row(std::uint32_t file_id, std::string_view path, double tmin, double tmax, std::size_t tiers);
    void seal();
    std::size_t max_label_bytes_;
    RowLevel level_;
    std::unique_ptr<Current> current_;
    std::vector<ArrowBatch> sealed_;
};

}  // namespace textgrid
