// The Arrow batch builder where Python cannot reach: the 2 GiB label cut-off
// (tried with a small one), bitmaps across tier runs, and the ownership
// rules of the C structs (children moved out and released on their own).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "textgrid/corpus/arrow_batch.h"
#include "tests/cpp/check.h"

namespace {

using test_support::check;

textgrid::TextGrid grid(std::vector<std::pair<std::string, std::vector<std::string>>> tiers, bool points = false) {
    textgrid::TextGrid tg;
    for (auto& [name, labels] : tiers) {
        textgrid::Tier tier;
        tier.name = name;
        tier.is_interval = !points;
        double t = 0;
        for (auto& label : labels) {
            tier.items.push_back({label, t, t + 1});
            t += 1;
        }
        tg.tiers.push_back(std::move(tier));
    }
    return tg;
}

const ArrowArray& column(const textgrid::ArrowBatch& batch, int i) { return *batch.array().children[i]; }

template <class T>
std::vector<T> values(const ArrowArray& a) {
    const T* data = static_cast<const T*>(a.buffers[1]);
    return std::vector<T>(data, data + a.length);
}

std::vector<std::string> strings(const ArrowArray& a) {
    const auto* offsets = static_cast<const std::int32_t*>(a.buffers[1]);
    const char* bytes = static_cast<const char*>(a.buffers[2]);
    std::vector<std::string> out;
    for (std::int64_t i = 0; i < a.length; ++i) out.emplace_back(bytes + offsets[i], bytes + offsets[i + 1]);
    return out;
}

std::vector<std::string> decoded(const ArrowArray& a) {
    std::vector<std::string> dict = strings(*a.dictionary);
    std::vector<std::string> out;
    for (std::int32_t key : values<std::int32_t>(a)) out.push_back(dict[static_cast<std::size_t>(key)]);
    return out;
}

void label_cut_off_splits_files_and_tiers() {
    // 8 bytes per batch: "abcd" "efgh" | "ij" "klmnop" | "q" then file 1.
    textgrid::ArrowBatchBuilder builder(8);
    builder.append(0, "a.TextGrid", grid({{"w", {"abcd", "efgh", "ij"}}, {"empty", {}}, {"p", {"klmnop", "q"}}}));
    builder.append(1, "b.TextGrid", grid({{"w", {"r"}}}));
    std::vector<textgrid::ArrowBatch> batches = builder.finish();
    check(batches.size() == 3, "three batches");
    if (batches.size() != 3) return;
    check(strings(column(batches[0], 7)) == std::vector<std::string>{"abcd", "efgh"}, "first batch labels");
    check(strings(column(batches[1], 7)) == std::vector<std::string>{"ij", "klmnop"}, "second batch labels");
    check(strings(column(batches[2], 7)) == std::vector<std::string>{"q", "r"}, "third batch labels");
    check(decoded(column(batches[1], 2)) == std::vector<std::string>{"w", "p"}, "tier names across the cut");
    check(values<std::uint32_t>(column(batches[1], 3)) == std::vector<std::uint32_t>{0, 2},
          "tier index counts the empty tier");
    check(decoded(column(batches[2], 1)) == std::vector<std::string>{"a.TextGrid", "b.TextGrid"},
          "file dictionary of the batch that ends file 0 and holds file 1");
    check(values<std::uint32_t>(column(batches[2], 0)) == std::vector<std::uint32_t>{0, 1}, "file ids");
    check(strings(*column(batches[0], 1).dictionary) == std::vector<std::string>{"a.TextGrid"},
          "each batch's dictionary holds only its own files");
    check(values<double>(column(batches[1], 5)) == std::vector<double>{2, 0}, "tmin follows the rows");
    check(builder.rows() == 0 && builder.finish().empty(), "builder starts afresh");

    textgrid::ArrowBatchBuilder tight(3);
    bool thrown = false;
    try {
        tight.append(0, "x", grid({{"w", {"abcd"}}}));
    } catch (const std::length_error&) {
        thrown = true;
    }
    check(thrown, "a label longer than the cut-off is refused");
}

void bitmap_follows_tier_runs() {
    textgrid::ArrowBatchBuilder builder;
    builder.append(0, "a", grid({{"i", std::vector<std::string>(3, "x")}}));
    builder.append(1, "b", grid({{"p", std::vector<std::string>(5, "y")}}, true));
    builder.append(2, "c", grid({{"i", std::vector<std::string>(17, "z")}}));
    std::vector<textgrid::ArrowBatch> batches = builder.finish();
    check(batches.size() == 1 && batches[0].rows() == 25, "one batch of 25 rows");
    const ArrowArray& flags = column(batches[0], 4);
    const auto* bits = static_cast<const std::uint8_t*>(flags.buffers[1]);
    bool ok = true;
    for (int i = 0; i < 25; ++i) ok = ok && (((bits[i / 8] >> (i % 8)) & 1) != 0) == (i < 3 || i >= 8);
    check(ok, "interval bits set for files 0 and 2 only");
}

void children_outlive_their_parent() {
    textgrid::ArrowBatchBuilder builder;
    builder.append(7, "a", grid({{"w", {"hello", "world"}}}));
    std::vector<textgrid::ArrowBatch> batches = builder.finish();
    ArrowArray top;
    batches[0].export_to(&top);
    check(batches[0].array().release == nullptr, "export leaves the owner empty");
    ArrowArray label = *top.children[7];  // moved out, as a consumer may
    top.children[7]->release = nullptr;
    top.release(&top);
    check(top.release == nullptr, "parent released");
    check(strings(label) == std::vector<std::string>{"hello", "world"}, "moved child still reads");
    label.release(&label);
    check(label.release == nullptr, "child released on its own");
}

void schema_describes_the_columns() {
    ArrowSchema schema;
    textgrid::export_corpus_schema(&schema);
    const char* names[] = {"file_id", "file", "tier", "tier_index", "is_interval", "tmin", "tmax", "label"};
    const char* formats[] = {"I", "i", "i", "I", "b", "g", "g", "u"};
    check(std::strcmp(schema.format, "+s") == 0 && schema.n_children == 8, "a struct of eight");
    bool ok = true;
    for (int i = 0; i < 8; ++i) {
        const ArrowSchema& child = *schema.children[i];
        ok = ok && std::strcmp(child.name, names[i]) == 0 && std::strcmp(child.format, formats[i]) == 0 &&
             child.flags == 0 && (child.dictionary != nullptr) == (i == 1 || i == 2);
    }
    check(ok, "names, formats, no nullable field, dictionaries on file and tier");
    check(std::strcmp(schema.children[2]->dictionary->format, "u") == 0, "dictionary values are utf8");
    schema.release(&schema);
    check(schema.release == nullptr, "schema released");
}

}  // namespace

int main() {
    label_cut_off_splits_files_and_tiers();
    bitmap_follows_tier_runs();
    children_outlive_their_parent();
    schema_describes_the_columns();
    return test_support::finish("test_arrow_batch");
}
