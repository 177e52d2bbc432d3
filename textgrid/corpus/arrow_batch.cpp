#include "textgrid/corpus/arrow_batch.h"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <utility>

namespace textgrid {

namespace {

// Owns one schema or array struct until take() hands it on; releases it
// otherwise. Keeps half-built trees from leaking when an allocation throws.
template <class Struct>
class Owned {
public:
    Owned() noexcept { s_.release = nullptr; }
    explicit Owned(const Struct& adopted) noexcept : s_(adopted) {}
    Owned(Owned&& other) noexcept : s_(other.take()) {}
    Owned& operator=(Owned&&) = delete;
    Owned(const Owned&) = delete;
    ~Owned() {
        if (s_.release != nullptr) s_.release(&s_);
    }
    explicit operator bool() const noexcept { return s_.release != nullptr; }
    Struct take() noexcept {
        Struct out = s_;
        s_.release = nullptr;
        return out;
    }

private:
    Struct s_;
};

// ---- the nodes behind the structs ------------------------------------------

// What a schema or array struct owns below it: its children and its
// dictionary, freed with it.
template <class Struct>
struct Tree {
    std::vector<Struct> children;
    std::vector<Struct*> child_pointers;
    Struct dictionary;
    bool has_dictionary = false;

    // Takes over `from` and `dict`. Throws std::bad_alloc only before taking
    // anything over, so that the caller's owners still release them then.
    void adopt(std::vector<Owned<Struct>>& from, Owned<Struct>& dict) {
        children.reserve(from.size());
        child_pointers.reserve(from.size());
        for (Owned<Struct>& child : from) children.push_back(child.take());
        for (Struct& child : children) child_pointers.push_back(&child);
        if (dict) {
            dictionary = dict.take();
            has_dictionary = true;
        }
    }

    // Points out's children and dictionary at this tree's.
    void link(Struct& out) noexcept {
        out.n_children = static_cast<std::int64_t>(children.size());
        out.children = children.empty() ? nullptr : child_pointers.data();
        out.dictionary = has_dictionary ? &dictionary : nullptr;
    }

    void release_all() noexcept {
        for (Struct& child : children)
            if (child.release != nullptr) child.release(&child);
        if (has_dictionary && dictionary.release != nullptr) dictionary.release(&dictionary);
    }
};

// The release callback of a struct whose private_data is a Node (a Tree).
template <class Node, class Struct>
void release_node(Struct* s) noexcept {
    auto* node = static_cast<Node*>(s->private_data);
    node->release_all();
    delete node;
    s->release = nullptr;
}

// ---- schema ------------------------------------------------------------------

struct SchemaNode : Tree<ArrowSchema> {};

extern "C" void release_schema(ArrowSchema* schema) { release_node<SchemaNode>(schema); }

// format and name must be string literals: the struct points to them.
Owned<ArrowSchema> make_schema(const char* format, const char* name, std::vector<Owned<ArrowSchema>> children = {},
                               Owned<ArrowSchema> dictionary = {}) {
    auto node = std::make_unique<SchemaNode>();
    node->adopt(children, dictionary);
    ArrowSchema out{};
    out.format = format;
    out.name = name;
    out.metadata = nullptr;
    out.flags = 0;  // no field holds a null
    node->link(out);
    out.release = release_schema;
    out.private_data = node.release();
    return Owned<ArrowSchema>(out);
}

// ---- arrays ------------------------------------------------------------------

// private_data of every array of a batch. Each holds the batch's storage, so
// a consumer that moves a child out and releases the parent early still
// keeps that child's buffers alive.
struct ArrayNode : Tree<ArrowArray> {
    std::shared_ptr<const void> storage;
    const void* buffers[3] = {nullptr, nullptr, nullptr};
};

extern "C" void release_array(ArrowArray* array) { release_node<ArrayNode>(array); }

Owned<ArrowArray> make_array(const std::shared_ptr<const void>& storage, std::size_t length,
                             std::initializer_list<const void*> buffers, std::vector<Owned<ArrowArray>> children = {},
                             Owned<ArrowArray> dictionary = {}) {
    auto node = std::make_unique<ArrayNode>();
    node->storage = storage;
    std::copy(buffers.begin(), buffers.end(), node->buffers);
    node->adopt(children, dictionary);
    ArrowArray out{};
    out.length = static_cast<std::int64_t>(length);
    out.null_count = 0;
    out.offset = 0;
    out.n_buffers = static_cast<std::int64_t>(buffers.size());
    out.buffers = node->buffers;
    node->link(out);
    out.release = release_array;
    out.private_data = node.release();
    return Owned<ArrowArray>(out);
}

// A buffer address for the C struct: never null, even for a column that
// never stored anything (an empty label buffer), as some consumers read
// a null data pointer as "missing" rather than "empty".
template <class T>
const void* address(const Column<T>& column) noexcept {
    return column.data() != nullptr ? static_cast<const void*>(column.data())
                                    : static_cast<const void*>(detail::empty_column_placeholder);
}

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// The values of one dictionary column: utf8 strings with 32-bit offsets.
struct Dictionary {
    Column<std::int32_t> offsets;
    Column<char> bytes;
    std::unordered_map<std::string, std::int32_t, StringHash, std::equal_to<>> keys;

    Dictionary() { offsets.push_back(0); }
    std::size_t size() const noexcept { return offsets.size() - 1; }

    std::int32_t add(std::string_view value) {
        if (value.size() > kMaxBatchLabelBytes - bytes.size())
            throw std::length_error("the names of one batch pass 2 GiB");
        bytes.append(value.data(), value.size());
        offsets.push_back(static_cast<std::int32_t>(bytes.size()));
        return static_cast<std::int32_t>(size() - 1);
    }

    std::int32_t key_of(std::string_view value) {
        if (auto found = keys.find(value); found != keys.end()) return found->second;
        const std::int32_t key = add(value);
        keys.emplace(value, key);
        return key;
    }
};

// Sets bits [start, start + n) of an LSB-first bitmap whose bits from start
// on are not yet stored, growing it with zero bytes.
void append_bits(Column<std::uint8_t>& bits, std::size_t start, std::size_t n, bool value) {
    const std::size_t bytes = (start + n + 7) / 8;
    if (bytes > bits.size()) bits.append_copies(0, bytes - bits.size());
    if (!value) return;
    std::size_t i = start;
    const std::size_t end = start + n;
    for (; i < end && i % 8 != 0; ++i) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
    for (; i + 8 <= end; i += 8) bits[i / 8] = 0xff;
    for (; i < end; ++i) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
}

}  // namespace

void export_corpus_schema(ArrowSchema* out, RowLevel level) {
    std::vector<Owned<ArrowSchema>> fields;
    fields.reserve(8);
    fields.push_back(make_schema("I", "file_id"));
    fields.push_back(make_schema("i", "file", {}, make_schema("u", "")));
    switch (level) {
        case RowLevel::items:
            fields.push_back(make_schema("i", "tier", {}, make_schema("u", "")));
            fields.push_back(make_schema("I", "tier_index"));
            fields.push_back(make_schema("b", "is_interval"));
            fields.push_back(make_schema("g", "tmin"));
            fields.push_back(make_schema("g", "tmax"));
            fields.push_back(make_schema("u", "label"));
            break;
        case RowLevel::tiers:
            fields.push_back(make_schema("I", "tier_index"));
            fields.push_back(make_schema("i", "tier", {}, make_schema("u", "")));
            fields.push_back(make_schema("b", "is_interval"));
            fields.push_back(make_schema("g", "tmin"));
            fields.push_back(make_schema("g", "tmax"));
            fields.push_back(make_schema("I", "size"));
            break;
        case RowLevel::files:
            fields.push_back(make_schema("g", "tmin"));
            fields.push_back(make_schema("g", "tmax"));
            fields.push_back(make_schema("I", "tiers"));
            break;
    }
    *out = make_schema("+s", "", std::move(fields)).take();
}

FileRows to_file_rows(const TextGrid& textgrid, RowLevel level) {
    FileRows out;
    out.tmin = textgrid.tmin;
    out.tmax = textgrid.tmax;
    out.tiers.reserve(textgrid.tiers.size());
    if (level != RowLevel::items) {
        for (const Tier& tier : textgrid.tiers)
            out.tiers.push_back({tier.name, tier.items.size(), tier.is_interval, tier.tmin, tier.tmax});
        return out;
    }
    std::size_t rows = 0;
    std::size_t bytes = 0;
    for (const Tier& tier : textgrid.tiers) {
        rows += tier.items.size();
        for (const Item& item : tier.items) bytes += item.label.size();
    }
    out.tmins.reserve(rows);
    out.tmaxs.reserve(rows);
    out.label_ends.reserve(rows);
    out.label_bytes.reserve(bytes);
    for (const Tier& tier : textgrid.tiers) {
        out.tiers.push_back({tier.name, tier.items.size(), tier.is_interval, tier.tmin, tier.tmax});
        for (const Item& item : tier.items) {
            out.tmins.push_back(item.tmin);
            out.tmaxs.push_back(item.tmax);
            out.label_bytes.append(item.label.data(), item.label.size());
            out.label_ends.push_back(out.label_bytes.size());
        }
    }
    return out;
}

// ---- ArrowBatch -------------------------------------------------------------------

ArrowBatch::ArrowBatch() noexcept : array_{} { array_.release = nullptr; }

ArrowBatch::ArrowBatch(ArrowBatch&& other) noexcept : array_(other.array_) { other.array_.release = nullptr; }

ArrowBatch& ArrowBatch::operator=(ArrowBatch&& other) noexcept {
    if (this != &other) {
        if (array_.release != nullptr) array_.release(&array_);
        array_ = other.array_;
        other.array_.release = nullptr;
    }
    return *this;
}

ArrowBatch::~ArrowBatch() {
    if (array_.release != nullptr) array_.release(&array_);
}

void ArrowBatch::export_to(ArrowArray* out) noexcept {
    *out = array_;
    array_.release = nullptr;
}

// ---- ArrowBatchBuilder ----------------------------------------------------------------

// The columns of the batch being filled. Once sealed it becomes the storage
// that every array of the batch points into.
struct ArrowBatchBuilder::Current {
    Column<std::uint32_t> file_ids;
    Column<std::int32_t> file_keys;
    Column<std::int32_t> tier_keys;
    Column<std::uint32_t> tier_indexes;
    Column<std::uint8_t> is_interval_bits;
    Column<double> tmins;
    Column<double> tmaxs;
    Column<std::int32_t> label_offsets;
    Column<char> label_bytes;
    Column<std::uint32_t> counts;  // a tier's items, or a file's tiers
    Dictionary files;
    Dictionary tiers;
    std::size_t rows = 0;
    // The file whose dictionary entry was made last: a file whose rows are
    // appended tier by tier gets one entry.
    bool has_file = false;
    std::uint32_t file_id = 0;
    std::int32_t file_key = 0;

    Current() { label_offsets.push_back(0); }

    std::int32_t file_key_of(std::uint32_t id, std::string_view path) {
        if (!has_file || file_id != id) {
            file_key = files.add(path);
            file_id = id;
            has_file = true;
        }
        return file_key;
    }
};

ArrowBatchBuilder::ArrowBatchBuilder(std::size_t max_label_bytes, RowLevel level)
    : max_label_bytes_(std::min(max_label_bytes, kMaxBatchLabelBytes)),
      level_(level),
      current_(std::make_unique<Current>()) {}

ArrowBatchBuilder::~ArrowBatchBuilder() = default;

std::size_t ArrowBatchBuilder::rows() const noexcept {
    std::size_t n = current_->rows;
    for (const ArrowBatch& batch : sealed_) n += static_cast<std::size_t>(batch.rows());
    return n;
}

void ArrowBatchBuilder::reserve(std::size_t rows, std::size_t label_bytes) {
    Current& cur = *current_;
    const std::size_t n = cur.rows + rows;
    cur.file_ids.reserve(n);
    cur.file_keys.reserve(n);
    cur.tier_keys.reserve(n);
    cur.tier_indexes.reserve(n);
    cur.is_interval_bits.reserve((n + 7) / 8);
    cur.tmins.reserve(n);
    cur.tmaxs.reserve(n);
    cur.label_offsets.reserve(n + 1);
    cur.label_bytes.reserve(cur.label_bytes.size() + std::min(label_bytes, max_label_bytes_ - cur.label_bytes.size()));
}

void ArrowBatchBuilder::start_rows(std::uint32_t file_id, std::string_view path, std::string_view tier_name,
                                           std::size_t tier_index, bool is_interval, std::size_t n) {
    Current& cur = *current_;
    const std::int32_t file_key = cur.file_key_of(file_id, path);
    const std::int32_t tier_key = cur.tiers.key_of(tier_name);
    cur.file_ids.append_copies(file_id, n);
    cur.file_keys.append_copies(file_key, n);
    cur.tier_keys.append_copies(tier_key, n);
    cur.tier_indexes.append_copies(static_cast<std::uint32_t>(tier_index), n);
    append_bits(cur.is_interval_bits, cur.rows, n, is_interval);
    cur.label_offsets.reserve_more(n);
}

void ArrowBatchBuilder::append_tier_row(std::uint32_t file_id, std::string_view path, std::string_view tier_name,
                                        std::size_t tier_index, bool is_interval, double tmin, double tmax,
                                        std::size_t size) {
    Current& cur = *current_;
    cur.file_ids.push_back(file_id);
    cur.file_keys.push_back(cur.file_key_of(file_id, path));
    cur.tier_indexes.push_back(static_cast<std::uint32_t>(tier_index));
    cur.tier_keys.push_back(cur.tiers.key_of(tier_name));
    append_bits(cur.is_interval_bits, cur.rows, 1, is_interval);
    cur.tmins.push_back(tmin);
    cur.tmaxs.push_back(tmax);
    cur.counts.push_back(static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX)));
    ++cur.rows;
}

void ArrowBatchBuilder::append_file_row(std::uint32_t file_id, std::string_view path, double tmin, double tmax,
                                        std::size_t tiers) {
    Current& cur = *current_;
    cur.file_ids.push_back(file_id);
    cur.file_keys.push_back(cur.file_key_of(file_id, path));
    cur.tmins.push_back(tmin);
    cur.tmaxs.push_back(tmax);
    cur.counts.push_back(static_cast<std::uint32_t>(std::min<std::size_t>(tiers, UINT32_MAX)));
    ++cur.rows;
}

void ArrowBatchBuilder::append(std::uint32_t file_id, std::string_view path, const TextGrid& textgrid) {
    if (level_ == RowLevel::files) {
        append_file_row(file_id, path, textgrid.tmin, textgrid.tmax, textgrid.tiers.size());
        return;
    }
    if (level_ == RowLevel::tiers) {
        for (std::size_t t = 0; t < textgrid.tiers.size(); ++t) {
            const Tier& tier = textgrid.tiers[t];
            append_tier_row(file_id, path, tier.name, t, tier.is_interval, tier.tmin, tier.tmax, tier.items.size());
        }
        return;
    }
    // Straight from the items, in one pass: this is the path of a file read
    // on the builder's own thread, where a copy into FileRows would only
    // double the work.
    for (std::size_t t = 0; t < textgrid.tiers.size(); ++t) {
        const Tier& tier = textgrid.tiers[t];
        const std::vector<Item>& items = tier.items;
        std::size_t row = 0;
        while (row < items.size()) {
            const std::size_t room = max_label_bytes_ - current_->label_bytes.size();
            std::size_t end = row;
            std::size_t bytes = 0;
            while (end < items.size() && items[end].label.size() <= room - bytes) bytes += items[end++].label.size();
            if (end == row) {
                if (current_->rows == 0) throw std::length_error("a label is too long for one batch");
                seal();
                continue;
            }
            start_rows(file_id, path, tier.name, t, tier.is_interval, end - row);
            Current& cur = *current_;
            cur.tmins.reserve_more(end - row);
            cur.tmaxs.reserve_more(end - row);
            cur.label_bytes.reserve_more(bytes);
            for (std::size_t i = row; i < end; ++i) {
                const Item& item = items[i];
                cur.tmins.push_back(item.tmin);
                cur.tmaxs.push_back(item.tmax);
                cur.label_bytes.append(item.label.data(), item.label.size());
                cur.label_offsets.push_back(static_cast<std::int32_t>(cur.label_bytes.size()));
            }
            cur.rows += end - row;
            row = end;
        }
    }
}

void ArrowBatchBuilder::append(std::uint32_t file_id, std::string_view path, const FileRows& rows) {
    if (level_ == RowLevel::files) {
        append_file_row(file_id, path, rows.tmin, rows.tmax, rows.tiers.size());
        return;
    }
    if (level_ == RowLevel::tiers) {
        for (std::size_t t = 0; t < rows.tiers.size(); ++t) {
            const FileRows::TierRun& tier = rows.tiers[t];
            append_tier_row(file_id, path, tier.name, t, tier.is_interval, tier.tmin, tier.tmax, tier.rows);
        }
        return;
    }
    const std::uint64_t* ends = rows.label_ends.data();
    std::size_t row = 0;
    for (std::size_t t = 0; t < rows.tiers.size(); ++t) {
        const FileRows::TierRun& tier = rows.tiers[t];
        const std::size_t tier_end = row + tier.rows;
        while (row < tier_end) {
            // The rows of this tier whose labels still fit the batch.
            const std::uint64_t base = row == 0 ? 0 : ends[row - 1];
            const std::uint64_t room = max_label_bytes_ - current_->label_bytes.size();
            const std::size_t fit =
                static_cast<std::size_t>(std::upper_bound(ends + row, ends + tier_end, base + room) - (ends + row));
            if (fit == 0) {
                if (current_->rows == 0) throw std::length_error("a label is too long for one batch");
                seal();
                continue;
            }
            start_rows(file_id, path, tier.name, t, tier.is_interval, fit);
            Current& cur = *current_;
            const std::size_t end = row + fit;
            cur.tmins.append(rows.tmins.data() + row, fit);
            cur.tmaxs.append(rows.tmaxs.data() + row, fit);
            const std::uint64_t stop = ends[end - 1];
            const std::size_t out_base = cur.label_bytes.size();
            cur.label_bytes.append(rows.label_bytes.data() + base, static_cast<std::size_t>(stop - base));
            for (std::size_t i = row; i < end; ++i)
                cur.label_offsets.push_back(static_cast<std::int32_t>(out_base + (ends[i] - base)));
            cur.rows += fit;
            row = end;
        }
    }
}

void ArrowBatchBuilder::seal() {
    if (current_->rows == 0) return;
    auto fresh = std::make_unique<Current>();
    sealed_.reserve(sealed_.size() + 1);
    const std::shared_ptr<const Current> storage(std::move(current_));
    current_ = std::move(fresh);
    const Current& c = *storage;
    const std::shared_ptr<const void> keep = storage;

    const auto plain = [&](const auto& column) { return make_array(keep, c.rows, {nullptr, address(column)}); };
    const auto dictionary = [&](const Column<std::int32_t>& keys, const Dictionary& values) {
        return make_array(keep, c.rows, {nullptr, address(keys)}, {},
                          make_array(keep, values.size(), {nullptr, address(values.offsets), address(values.bytes)}));
    };
    std::vector<Owned<ArrowArray>> columns;
    columns.reserve(8);
    columns.push_back(plain(c.file_ids));
    columns.push_back(dictionary(c.file_keys, c.files));
    switch (level_) {
        case RowLevel::items:
            columns.push_back(dictionary(c.tier_keys, c.tiers));
            columns.push_back(plain(c.tier_indexes));
            columns.push_back(plain(c.is_interval_bits));
            columns.push_back(plain(c.tmins));
            columns.push_back(plain(c.tmaxs));
            columns.push_back(make_array(keep, c.rows, {nullptr, address(c.label_offsets), address(c.label_bytes)}));
            break;
        case RowLevel::tiers:
            columns.push_back(plain(c.tier_indexes));
            columns.push_back(dictionary(c.tier_keys, c.tiers));
            columns.push_back(plain(c.is_interval_bits));
            columns.push_back(plain(c.tmins));
            columns.push_back(plain(c.tmaxs));
            columns.push_back(plain(c.counts));
            break;
        case RowLevel::files:
            columns.push_back(plain(c.tmins));
            columns.push_back(plain(c.tmaxs));
            columns.push_back(plain(c.counts));
            break;
    }
    Owned<ArrowArray> batch = make_array(keep, c.rows, {nullptr}, std::move(columns));
    sealed_.emplace_back(batch.take());  // room reserved above
}

std::vector<ArrowBatch> ArrowBatchBuilder::finish() {
    seal();
    return std::exchange(sealed_, {});
}

}  // namespace textgrid
