#include "textgrid/corpus/arrow_import.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "textgrid/base/interrupt.h"
#include "textgrid/text/text_decode.h"

namespace textgrid {

namespace {

// Lengths and offsets beyond this are rejected outright, so that sums of
// two of them can never overflow.
constexpr std::int64_t kMaxExtent = std::int64_t{1} << 60;

bool valid_extent(std::int64_t v) noexcept { return v >= 0 && v < kMaxExtent; }

bool bit_set(const void* bits, std::int64_t i) noexcept {
    return (static_cast<const std::uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1;
}

template <class T>
T load(const void* buffer, std::int64_t i) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(buffer) + i * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
    return v;
}

bool is_integer_format(std::string_view f) noexcept {
    return f.size() == 1 && std::string_view("cCsSiIlL").find(f[0]) != std::string_view::npos;
}
bool is_float_format(std::string_view f) noexcept { return f == "e" || f == "f" || f == "g"; }
bool is_string_format(std::string_view f) noexcept { return f == "u" || f == "U" || f == "vu"; }

std::string type_name(const ArrowSchema& schema) {
    const std::string_view f = schema.format != nullptr ? schema.format : "";
    static constexpr std::pair<std::string_view, std::string_view> names[] = {
        {"n", "null"},    {"b", "bool"},         {"c", "int8"},    {"C", "uint8"},  {"s", "int16"},
        {"S", "uint16"},  {"i", "int32"},        {"I", "uint32"},  {"l", "int64"},  {"L", "uint64"},
        {"e", "float16"}, {"f", "float32"},      {"g", "float64"}, {"u", "utf8"},   {"U", "large_utf8"},
        {"vu", "string_view"}, {"z", "binary"},  {"Z", "large_binary"}, {"+s", "struct"}, {"+l", "list"}};
    std::string name;
    if (schema.dictionary != nullptr) {
        name.append("dictionary of ").append(type_name(*schema.dictionary));
        return name;
    }
    for (const auto& [format, known] : names) {
        if (f == format) return name.append(known);
    }
    return name.append(1, '\'').append(f).append(1, '\'');
}

struct Int {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

Int integer_at(char format, const void* data, std::int64_t i) noexcept {
    auto signed_value = [](std::int64_t v) {
        return v < 0 ? Int{true, std::uint64_t{0} - static_cast<std::uint64_t>(v)}
                     : Int{false, static_cast<std::uint64_t>(v)};
    };
    switch (format) {
        case 'c': return signed_value(load<std::int8_t>(data, i));
        case 'C': return {false, load<std::uint8_t>(data, i)};
        case 's': return signed_value(load<std::int16_t>(data, i));
        case 'S': return {false, load<std::uint16_t>(data, i)};
        case 'i': return signed_value(load<std::int32_t>(data, i));
        case 'I': return {false, load<std::uint32_t>(data, i)};
        case 'l': return signed_value(load<std::int64_t>(data, i));
        default: return {false, load<std::uint64_t>(data, i)};
    }
}

double half_to_double(std::uint16_t h) noexcept {
    const int exponent = (h >> 10) & 0x1f;
    const int mantissa = h & 0x3ff;
    double v;
    if (exponent == 0) {
        v = std::ldexp(mantissa, -24);
    } else if (exponent == 31) {
        v = mantissa != 0 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    } else {
        v = std::ldexp(mantissa + 1024, exponent - 25);
    }
    return (h & 0x8000) != 0 ? -v : v;
}

// One array of a column in one batch, checked, with rows counted from
// `base` (its own offset plus its batch's).
struct Source {
    const ArrowSchema* schema = nullptr;
    const ArrowArray* array = nullptr;
    std::int64_t base = 0;
    const void* validity = nullptr;

    bool is_null(std::int64_t row) const noexcept {
        return validity != nullptr && !bit_set(validity, base + row);
    }
    const void* buffer(int i) const noexcept { return array->buffers[i]; }
};

// Checks what every array must hold before its buffers are read: rows
// [0, rows) past `outer_offset` exist and the buffers the format needs are
// there. Returns an error text, or an empty string.
std::string check_array(const ArrowSchema& schema, const ArrowArray& array, std::int64_t outer_offset,
                        std::int64_t rows, std::int64_t buffers_needed, Source& out) {
    if (!valid_extent(array.length) || !valid_extent(array.offset) || !valid_extent(array.null_count + 1))
        return "has a negative or huge length or offset";
    if (array.length < outer_offset + rows) return "is shorter than its record batch";
    const std::string_view format = schema.format;
    if (format == "vu") {
        if (array.n_buffers < 3) return "has too few buffers";
    } else if (array.n_buffers != buffers_needed) {
        return "has the wrong number of buffers";
    }
    if (array.buffers == nullptr && array.n_buffers > 0) return "has no buffers";
    // The offsets, views, values or indices; a string's data buffer may be
    // absent when every string is empty, which the reading checks.
    if (rows > 0 && array.n_buffers > 1 && array.buffers[1] == nullptr) return "lacks a buffer";
    out.schema = &schema;
    out.array = &array;
    out.base = array.offset + outer_offset;
    out.validity = array.null_count != 0 && array.n_buffers > 0 ? array.buffers[0] : nullptr;
    return {};
}

enum class Got { value, null, bad };

// The string at row of a plain (not dictionary-encoded) string array.
Got plain_string_at(const Source& s, std::int64_t row, std::string_view& out) {
    if (s.is_null(row)) return Got::null;
    const std::int64_t i = s.base + row;
    const std::string_view format = s.schema->format;
    std::int64_t begin = 0;
    std::int64_t end = 0;
    const char* data = nullptr;
    if (format == "u") {
        begin = load<std::int32_t>(s.buffer(1), i);
        end = load<std::int32_t>(s.buffer(1), i + 1);
        data = static_cast<const char*>(s.buffer(2));
    } else if (format == "U") {
        begin = load<std::int64_t>(s.buffer(1), i);
        end = load<std::int64_t>(s.buffer(1), i + 1);
        data = static_cast<const char*>(s.buffer(2));
    } else {
        // A view: 4 bytes of length, then either up to 12 bytes inline, or
        // a prefix, the index of a data buffer and an offset in it.
        const char* view = static_cast<const char*>(s.buffer(1)) + i * 16;
        const std::int32_t length = load<std::int32_t>(view, 0);
        if (length < 0) return Got::bad;
        if (length <= 12) {
            out = std::string_view(view + 4, static_cast<std::size_t>(length));
            return Got::value;
        }
        const std::int32_t index = load<std::int32_t>(view + 8, 0);
        const std::int32_t offset = load<std::int32_t>(view + 12, 0);
        const std::int64_t variadic = s.array->n_buffers - 3;
        if (index < 0 || index >= variadic || offset < 0) return Got::bad;
        const void* sizes = s.buffer(static_cast<int>(s.array->n_buffers - 1));
        if (sizes == nullptr) return Got::bad;
        const std::int64_t size = load<std::int64_t>(sizes, index);
        if (std::int64_t{offset} + length > size) return Got::bad;
        data = static_cast<const char*>(s.buffer(2 + index));
        begin = offset;
        end = std::int64_t{offset} + length;
    }
    if (begin < 0 || end < begin || end >= kMaxExtent) return Got::bad;
    if (end > begin && data == nullptr) return Got::bad;
    out = end > begin ? std::string_view(data + begin, static_cast<std::size_t>(end - begin)) : std::string_view();
    return Got::value;
}

// The text of a plain utf8 or large_utf8 array from its first row's start
// to its last row's end, when that is UTF-8; empty otherwise (views, and
// offsets that do not run forward, are then checked row by row).
std::string_view checked_text(const Source& s) {
    const std::string_view format = s.schema->format;
    if ((format != "u" && format != "U") || s.array->length <= 0) return {};
    const std::int64_t first = s.array->offset;
    const std::int64_t last = s.array->offset + s.array->length;
    const std::int64_t begin = format == "u" ? load<std::int32_t>(s.buffer(1), first) : load<std::int64_t>(s.buffer(1), first);
    const std::int64_t end = format == "u" ? load<std::int32_t>(s.buffer(1), last) : load<std::int64_t>(s.buffer(1), last);
    const char* data = static_cast<const char*>(s.buffer(2));
    if (begin < 0 || end <= begin || end >= kMaxExtent || data == nullptr) return {};
    const std::string_view text(data + begin, static_cast<std::size_t>(end - begin));
    return is_valid_utf8(text) ? text : std::string_view();
}

// Whether value lies in the UTF-8 text `whole` and starts and ends on the
// boundaries of its characters, which makes it UTF-8 too.
bool within_on_boundaries(std::string_view value, std::string_view whole) noexcept {
    if (value.empty()) return true;
    const auto continues = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    // As addresses: the value may lie in another buffer altogether.
    const auto begin = reinterpret_cast<std::uintptr_t>(value.data());
    const auto end = begin + value.size();
    const auto whole_begin = reinterpret_cast<std::uintptr_t>(whole.data());
    const auto whole_end = whole_begin + whole.size();
    return !whole.empty() && begin >= whole_begin && end <= whole_end && !continues(value.front()) &&
           (end == whole_end || !continues(value.data()[value.size()]));
}

std::string column_text(std::string_view what, std::string_view name) {
    return "column '" + std::string(name) + "' of " + std::string(what);
}

ColumnFailure bad_value(std::string_view what, std::string_view name, std::string_view problem, std::size_t row) {
    return {ColumnProblem::bad_value, column_text(what, name) + " " + std::string(problem) + " at row " +
                                          std::to_string(row)};
}

// Runs get(source, dictionary, row, global_row) for every row of the
// column, batch after batch, after checking each batch's array.
// `accepts(schema)` says whether the column's type fits; `buffers` is the
// buffer count of the column's (index) type.
template <class Accepts, class Get>
std::optional<ColumnFailure> each_row(const ArrowTable& table, std::string_view what, std::string_view name,
                                      bool required, std::string_view wanted, Accepts accepts,
                                      std::int64_t buffers, bool& found, Get get) {
    found = false;
    const std::optional<std::size_t> column = table.find(name);
    if (!column) {
        if (!required) return std::nullopt;
        return ColumnFailure{ColumnProblem::missing, std::string(what) + " has no column '" + std::string(name) + "'"};
    }
    const ArrowSchema& schema = *table.schema().children[*column];
    if (!accepts(schema)) {
        return ColumnFailure{ColumnProblem::wrong_type, column_text(what, name) + " has type " + type_name(schema) +
                                                            "; " + std::string(wanted) + " is needed"};
    }
    found = true;
    std::size_t row0 = 0;
    InterruptPoller poller(256);
    for (const ArrowArray& batch : table.batches()) {
        const ArrowArray* child = batch.children[*column];
        Source source;
        std::string problem = child == nullptr
                                  ? std::string("is missing")
                                  : check_array(schema, *child, batch.offset, batch.length, buffers, source);
        Source dictionary;
        if (problem.empty() && schema.dictionary != nullptr) {
            if (child->dictionary == nullptr) {
                problem = "lacks its dictionary";
            } else {
                const std::string_view values = schema.dictionary->format;
                problem = check_array(*schema.dictionary, *child->dictionary, 0, child->dictionary->length,
                                      values == "vu" ? 0 : 3, dictionary);
            }
        }
        if (!problem.empty()) {
            return ColumnFailure{ColumnProblem::bad_value,
                                 column_text(what, name) + " " + problem + " in the batch from row " +
                                     std::to_string(row0)};
        }
        const auto rows = static_cast<std::size_t>(batch.length);
        for (std::size_t r = 0; r < rows; ++r) {
            poller.tick();
            if (auto failure = get(source, dictionary, static_cast<std::int64_t>(r), row0 + r)) return failure;
        }
        row0 += rows;
    }
    return std::nullopt;
}

}  // namespace

// ---- the table ------------------------------------------------------------------

ArrowTable::ArrowTable() noexcept { schema_.release = nullptr; }

ArrowTable::~ArrowTable() { release(); }

ArrowTable::ArrowTable(ArrowTable&& other) noexcept
    : schema_(other.schema_), batches_(std::move(other.batches_)), rows_(other.rows_) {
    other.schema_.release = nullptr;
    other.batches_.clear();
    other.rows_ = 0;
}

ArrowTable& ArrowTable::operator=(ArrowTable&& other) noexcept {
    if (this != &other) {
        release();
        schema_ = other.schema_;
        batches_ = std::move(other.batches_);
        rows_ = other.rows_;
        other.schema_.release = nullptr;
        other.batches_.clear();
        other.rows_ = 0;
    }
    return *this;
}

void ArrowTable::release() noexcept {
    for (ArrowArray& batch : batches_) {
        if (batch.release != nullptr) batch.release(&batch);
    }
    batches_.clear();
    if (schema_.release != nullptr) schema_.release(&schema_);
    schema_.release = nullptr;
}

namespace {

Status check_schema(const ArrowSchema& schema) {
    if (schema.format == nullptr || std::string_view(schema.format) != "+s")
        return Error::invalid_input("the data is not a table of columns (its type is not a struct)");
    if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr))
        return Error::invalid_input("the table's schema is malformed");
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        const ArrowSchema* child = schema.children[i];
        if (child == nullptr || child->format == nullptr)
            return Error::invalid_input("the table's schema is malformed");
        if (child->dictionary != nullptr && child->dictionary->format == nullptr)
            return Error::invalid_input("the table's schema is malformed");
    }
    return Ok{};
}

Status check_batch(const ArrowSchema& schema, const ArrowArray& batch) {
    if (!valid_extent(batch.length) || !valid_extent(batch.offset) || batch.n_children != schema.n_children ||
        (batch.n_children > 0 && batch.children == nullptr))
        return Error::invalid_input("a record batch does not match the table's schema");
    for (std::int64_t i = 0; i < batch.n_children; ++i) {
        const ArrowArray* child = batch.children[i];
        if (child != nullptr && child->n_buffers > 0 && child->buffers == nullptr)
            return Error::invalid_input("a record batch is malformed");
        if (child != nullptr && (child->n_buffers < 0 || child->n_buffers > (std::int64_t{1} << 20)))
            return Error::invalid_input("a record batch is malformed");
    }
    return Ok{};
}

}  // namespace

Result<ArrowTable> ArrowTable::from_stream(ArrowArrayStream& stream) {
    struct Releaser {
        ArrowArrayStream& s;
        ~Releaser() {
            if (s.release != nullptr) s.release(&s);
        }
    } releaser{stream};
    auto stream_error = [&](int code) {
        const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
        return Error::invalid_input("the stream failed: " +
                                    (text != nullptr ? std::string(text) : Error::from_errno(code).text()));
    };
    ArrowTable table;
    if (const int code = stream.get_schema(&stream, &table.schema_); code != 0) {
        table.schema_.release = nullptr;
        return stream_error(code);
    }
    if (auto st = check_schema(table.schema_); !st) return std::move(st.error());
    for (;;) {
        poll_interrupt();
        ArrowArray batch;
        batch.release = nullptr;
        if (const int code = stream.get_next(&stream, &batch); code != 0) return stream_error(code);
        if (batch.release == nullptr) break;
        table.batches_.push_back(batch);
        if (auto st = check_batch(table.schema_, batch); !st) return std::move(st.error());
        table.rows_ += static_cast<std::size_t>(batch.length);
    }
    return table;
}

Result<ArrowTable> ArrowTable::from_array(ArrowSchema& schema, ArrowArray& array) {
    ArrowTable table;
    table.schema_ = schema;
    schema.release = nullptr;
    if (array.release != nullptr) {
        table.batches_.push_back(array);
        array.release = nullptr;
    }
    if (auto st = check_schema(table.schema_); !st) return std::move(st.error());
    for (const ArrowArray& batch : table.batches_) {
        if (auto st = check_batch(table.schema_, batch); !st) return std::move(st.error());
        table.rows_ += static_cast<std::size_t>(batch.length);
    }
    return table;
}

std::optional<std::size_t> ArrowTable::find(std::string_view name) const noexcept {
    if (schema_.release == nullptr) return std::nullopt;
    for (std::int64_t i = 0; i < schema_.n_children; ++i) {
        const char* child = schema_.children[i]->name;
        if (child != nullptr && name == child) return static_cast<std::size_t>(i);
    }
    return std::nullopt;
}

// ---- columns --------------------------------------------------------------------

std::optional<ColumnFailure> read_string_column(const ArrowTable& table, std::string_view what,
                                                std::string_view name, bool required,
                                                std::vector<std::string_view>& out) {
    out.clear();
    auto accepts = [](const ArrowSchema& s) {
        return s.dictionary != nullptr ? is_integer_format(s.format) && is_string_format(s.dictionary->format)
                                       : is_string_format(s.format);
    };
    std::int64_t buffers = 3;
    if (const auto column = table.find(name)) {
        const ArrowSchema& s = *table.schema().children[*column];
        if (s.dictionary != nullptr) buffers = 2;  // the indices
    }
    out.reserve(table.rows());
    // The UTF-8 check once an array or an entry rather than once a row (a
    // file's name repeats on every row of its items): a plain array's text
    // is checked whole, and a row's slice of it holds UTF-8 when it starts
    // and ends on the boundaries of characters; a dictionary entry is
    // checked the first time a row uses it.
    const ArrowArray* whole_array = nullptr;
    std::string_view whole;  // the checked text of whole_array, when it is UTF-8
    const ArrowArray* entries_array = nullptr;
    std::vector<bool> entry_checked;
    bool found = false;
    auto failure = each_row(
        table, what, name, required, "a string type", accepts, buffers, found,
        [&](const Source& s, const Source& dictionary, std::int64_t row,
            std::size_t global) -> std::optional<ColumnFailure> {
            std::string_view value;
            Got got;
            bool checked = false;
            if (dictionary.array != nullptr) {
                if (s.is_null(row)) {
                    got = Got::null;
                } else {
                    const Int index = integer_at(s.schema->format[0], s.buffer(1), s.base + row);
                    if (index.negative || index.magnitude >= static_cast<std::uint64_t>(dictionary.array->length))
                        return bad_value(what, name, "holds a dictionary index out of range", global);
                    got = plain_string_at(dictionary, static_cast<std::int64_t>(index.magnitude), value);
                    if (entries_array != dictionary.array) {
                        entries_array = dictionary.array;
                        entry_checked.assign(static_cast<std::size_t>(dictionary.array->length), false);
                    }
                    checked = entry_checked[index.magnitude];
                    entry_checked[index.magnitude] = true;  // a failed check ends the reading
                }
            } else {
                if (whole_array != s.array) {
                    whole_array = s.array;
                    whole = checked_text(s);
                }
                got = plain_string_at(s, row, value);
                checked = got == Got::value && within_on_boundaries(value, whole);
            }
            if (got == Got::null) return bad_value(what, name, "holds a null", global);
            if (got == Got::bad) return bad_value(what, name, "holds a malformed string offset", global);
            if (!checked && !is_valid_utf8(value)) return bad_value(what, name, "holds text that is not UTF-8", global);
            out.push_back(value);
            return std::nullopt;
        });
    if (failure || !found) out.clear();
    return failure;
}

std::optional<ColumnFailure> read_number_column(const ArrowTable& table, std::string_view what,
                                                std::string_view name, bool required, std::vector<double>& out) {
    out.clear();
    auto accepts = [](const ArrowSchema& s) {
        return s.dictionary == nullptr && (is_integer_format(s.format) || is_float_format(s.format));
    };
    out.reserve(table.rows());
    bool found = false;
    auto failure = each_row(
        table, what, name, required, "a float or integer type", accepts, 2, found,
        [&](const Source& s, const Source&, std::int64_t row, std::size_t global) -> std::optional<ColumnFailure> {
            if (s.is_null(row)) return bad_value(what, name, "holds a null", global);
            const char f = s.schema->format[0];
            const std::int64_t i = s.base + row;
            double v;
            if (f == 'g') {
                v = load<double>(s.buffer(1), i);
            } else if (f == 'f') {
                v = load<float>(s.buffer(1), i);
            } else if (f == 'e') {
                v = half_to_double(load<std::uint16_t>(s.buffer(1), i));
            } else {
                const Int n = integer_at(f, s.buffer(1), i);
                v = n.negative ? -static_cast<double>(n.magnitude) : static_cast<double>(n.magnitude);
            }
            out.push_back(v);
            return std::nullopt;
        });
    if (failure || !found) out.clear();
    return failure;
}

std::optional<ColumnFailure> read_index_column(const ArrowTable& table, std::string_view what,
                                               std::string_view name, bool required,
                                               std::vector<std::uint64_t>& out) {
    out.clear();
    auto accepts = [](const ArrowSchema& s) { return s.dictionary == nullptr && is_integer_format(s.format); };
    out.reserve(table.rows());
    bool found = false;
    auto failure = each_row(
        table, what, name, required, "an integer type", accepts, 2, found,
        [&](const Source& s, const Source&, std::int64_t row, std::size_t global) -> std::optional<ColumnFailure> {
            if (s.is_null(row)) return bad_value(what, name, "holds a null", global);
            const Int n = integer_at(s.schema->format[0], s.buffer(1), s.base + row);
            if (n.negative) return bad_value(what, name, "holds a negative value", global);
            out.push_back(n.magnitude);
            return std::nullopt;
        });
    if (failure || !found) out.clear();
    return failure;
}

std::optional<ColumnFailure> read_flag_column(const ArrowTable& table, std::string_view what,
                                              std::string_view name, bool required,
                                              std::vector<std::uint8_t>& out) {
    out.clear();
    auto accepts = [](const ArrowSchema& s) { return s.dictionary == nullptr && std::string_view(s.format) == "b"; };
    out.reserve(table.rows());
    bool found = false;
    auto failure = each_row(
        table, what, name, required, "bool", accepts, 2, found,
        [&](const Source& s, const Source&, std::int64_t row, std::size_t global) -> std::optional<ColumnFailure> {
            if (s.is_null(row)) return bad_value(what, name, "holds a null", global);
            out.push_back(bit_set(s.buffer(1), s.base + row) ? 1 : 0);
            return std::nullopt;
        });
    if (failure || !found) out.clear();
    return failure;
}

}  // namespace textgrid
