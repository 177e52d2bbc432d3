// The Arrow batch builder over the grids of several texts. The input is cut
// at NUL bytes into files, each read by the reader its text calls for; the
// first byte sets how many label bytes a batch may hold, so that batches are
// cut often. Read back through the C structs, the rows must be the items of
// the files in order, and every batch must keep to the label limit.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "textgrid/corpus/arrow_batch.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/layout/parser_long.h"
#include "textgrid/layout/parser_short.h"

namespace {

struct Row {
    std::uint32_t file_id;
    std::string file, tier;
    std::uint32_t tier_index;
    bool is_interval;
    double tmin, tmax;
    std::string label;
};

template <class T>
T value_at(const ArrowArray& a, std::int64_t i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(a.buffers[1]) + sizeof(T) * static_cast<std::size_t>(a.offset + i),
                sizeof v);
    return v;
}

// String i of a utf8 array: offsets in buffer 1, bytes in buffer 2.
std::string string_at(const ArrowArray& a, std::int64_t i) {
    const auto begin = value_at<std::int32_t>(a, i), end = value_at<std::int32_t>(a, i + 1);
    fuzz::check(0 <= begin && begin <= end, "string offsets ascend");
    return {static_cast<const char*>(a.buffers[2]) + begin, static_cast<std::size_t>(end - begin)};
}

std::string dictionary_at(const ArrowArray& a, std::int64_t i) {
    const auto key = value_at<std::int32_t>(a, i);
    fuzz::check(a.dictionary != nullptr && 0 <= key && key < a.dictionary->length, "dictionary key in range");
    return string_at(*a.dictionary, key);
}

void read_batch(const ArrowArray& batch, std::size_t max_label_bytes, std::vector<Row>& rows) {
    fuzz::check(batch.n_children == 8 && batch.release != nullptr, "a batch is a struct of eight columns");
    const ArrowArray* const* c = batch.children;
    for (int k = 0; k < 8; ++k) fuzz::check(c[k]->length == batch.length, "columns as long as the batch");
    const ArrowArray& labels = *c[7];
    const auto label_bytes = value_at<std::int32_t>(labels, batch.length) - value_at<std::int32_t>(labels, 0);
    fuzz::check(static_cast<std::size_t>(label_bytes) <= max_label_bytes, "a batch keeps to the label limit");
    for (std::int64_t i = 0; i < batch.length; ++i) {
        const auto bits = static_cast<const std::uint8_t*>(c[4]->buffers[1]);
        const std::int64_t bit = c[4]->offset + i;
        rows.push_back({value_at<std::uint32_t>(*c[0], i), dictionary_at(*c[1], i), dictionary_at(*c[2], i),
                        value_at<std::uint32_t>(*c[3], i), ((bits[bit / 8] >> (bit % 8)) & 1) != 0,
                        value_at<double>(*c[5], i), value_at<double>(*c[6], i), string_at(labels, i)});
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t max_label_bytes = 1 + data[0] % 64;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (!textgrid::is_valid_utf8(rest)) return 0;

    textgrid::ArrowBatchBuilder builder(max_label_bytes);
    std::vector<Row> expected;
    std::uint32_t file_id = 0;
    bool too_long = false;
    while (!rest.empty() && !too_long) {
        const std::size_t cut = rest.find('\0');
        const std::string_view text = rest.substr(0, cut);
        rest.remove_prefix(cut == std::string_view::npos ? rest.size() : cut + 1);
        const bool is_long = text.find("item []") != std::string_view::npos;
        const fuzz::Outcome read = fuzz::run_reader(
            [&] { return is_long ? textgrid::parse_long(text, "f") : textgrid::parse_short(text, "f"); });
        if (read.fatal) continue;
        const std::string path = "file" + std::to_string(file_id);
        for (std::uint32_t t = 0; t < read.grid.tiers.size(); ++t) {
            const textgrid::Tier& tier = read.grid.tiers[t];
            for (const textgrid::Item& item : tier.items) {
                too_long = too_long || item.label.size() > max_label_bytes;
                expected.push_back({file_id, path, tier.name, t, tier.is_interval, item.tmin, item.tmax, item.label});
            }
        }
        if (too_long) {
            bool thrown = false;
            try {
                builder.append(file_id, path, read.grid);
            } catch (const std::length_error&) {
                thrown = true;
            }
            fuzz::check(thrown, "a label over the limit is refused");
            break;
        }
        builder.append(file_id, path, read.grid);
        ++file_id;
    }
    std::vector<textgrid::ArrowBatch> batches = builder.finish();
    if (too_long) return 0;  // the refused file's rows may be partly in; only the release is checked
    std::vector<Row> got;
    for (const textgrid::ArrowBatch& batch : batches) {
        fuzz::check(batch.rows() > 0, "no empty batch");
        read_batch(batch.array(), max_label_bytes, got);
    }
    fuzz::check(got.size() == expected.size(), "one row per item");
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Row& g = got[i];
        const Row& e = expected[i];
        fuzz::check(g.file_id == e.file_id && g.file == e.file && g.tier == e.tier && g.tier_index == e.tier_index &&
                        g.is_interval == e.is_interval && fuzz::same_bits(g.tmin, e.tmin) &&
                        fuzz::same_bits(g.tmax, e.tmax) && g.label == e.label,
                    "rows are the items in order");
    }
    return 0;
}
