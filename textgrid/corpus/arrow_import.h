// Reading columns out of Arrow data that another library produced: the
// record batches of a C stream or one C array, found by column name and
// copied into plain vectors (strings as views into the Arrow buffers).
//
// The data is untrusted. Everything the structs declare is checked before a
// buffer is touched: buffer and child counts, lengths and offsets, string
// offsets (monotone, and within the sizes a string_view array declares),
// dictionary indices, UTF-8. A value that breaks these rules, or a null
// where a value is needed, is reported with its column and row; the one
// thing the C interface gives no way to check is that a buffer really holds
// the bytes its offsets promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/base/result.h"
#include "textgrid/corpus/arrow_c.h"

namespace textgrid {

// Why a column cannot be read.
enum class ColumnProblem {
    missing,     // no column of that name (a ValueError for Python)
    wrong_type,  // a type the column cannot take (a TypeError)
    bad_value,   // a null, a malformed offset or index, text not UTF-8
};

struct ColumnFailure {
    ColumnProblem problem = ColumnProblem::bad_value;
    std::string message;
};

// The schema and every record batch of one table; releases them all when
// destroyed. Move-only.
class ArrowTable {
public:
    ArrowTable() noexcept;
    ~ArrowTable();
    ArrowTable(ArrowTable&& other) noexcept;
    ArrowTable& operator=(ArrowTable&& other) noexcept;
    ArrowTable(const ArrowTable&) = delete;
    ArrowTable& operator=(const ArrowTable&) = delete;

    // Pulls every batch of the stream and releases the stream. Returns an
    // invalid-input error with the producer's own text when the stream
    // fails, or when its schema is not a struct of columns.
    static Result<ArrowTable> from_stream(ArrowArrayStream& stream);
    // Takes over one struct array (a record batch) and its schema; both
    // are released by the table, even when this fails.
    static Result<ArrowTable> from_array(ArrowSchema& schema, ArrowArray& array);

    std::size_t rows() const noexcept { return rows_; }
    // The position of the top-level column named name, if any.
    std::optional<std::size_t> find(std::string_view name) const noexcept;

    const ArrowSchema& schema() const noexcept { return schema_; }
    const std::vector<ArrowArray>& batches() const noexcept { return batches_; }

private:
    void release() noexcept;
    ArrowSchema schema_;
    std::vector<ArrowArray> batches_;
    std::size_t rows_ = 0;
};

// The whole column `name` of table, one element per row, batch after
// batch. `what` names the table in messages ("items"). A missing column
// fails when required, and leaves out empty otherwise.
//
// Strings: utf8, large_utf8, string_view, or any of them dictionary-encoded
// by an integer index; the views point into the table's buffers.
std::optional<ColumnFailure> read_string_column(const ArrowTable& table, std::string_view what,
                                                std::string_view name, bool required,
                                                std::vector<std::string_view>& out);
// Numbers: every float (half, single, double) and integer type.
std::optional<ColumnFailure> read_number_column(const ArrowTable& table, std::string_view what,
                                                std::string_view name, bool required, std::vector<double>& out);
// Indices: every integer type, no negative value.
std::optional<ColumnFailure> read_index_column(const ArrowTable& table, std::string_view what,
                                               std::string_view name, bool required,
                                               std::vector<std::uint64_t>& out);
// Flags: bool.
std::optional<ColumnFailure> read_flag_column(const ArrowTable& table, std::string_view what,
                                              std::string_view name, bool required, std::vector<std::uint8_t>& out);

}  // namespace textgrid
