#include "textgrid/corpus/batch.h"

namespace textgrid {

namespace {

TextGridData convert_to_data(const TextGrid& textgrid) { return to_data(textgrid); }

TextGridVectors convert_to_vectors(const TextGrid& textgrid) { return to_vectors(textgrid); }

}  // namespace

bool files_to_data_each(const std::vector<std::string>& files, bool strict, Layout layout,
                        const std::function<bool(std::size_t index, const TextGridData& entry)>& consume) {
    return detail::files_to_entries_each<TextGridData>(files, strict, layout, convert_to_data, consume);
}

std::vector<TextGridVectors> files_to_vectors(const std::vector<std::string>& files, bool strict,
                                              Layout layout) {
    return detail::files_to_entries<TextGridVectors>(files, strict, layout, convert_to_vectors);
}

}  // namespace textgrid
