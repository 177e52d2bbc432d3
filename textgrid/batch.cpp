#include "textgrid/batch.h"

#include "textgrid/converter.h"
#include "textgrid/lib.h"

namespace textgrid {

std::vector<TextGridData> files_to_data(const std::vector<std::string>& files, bool strict,
                                        std::string_view file_type) {
    return detail::files_to_entries<TextGridData>(files, strict, file_type,
                                                  [](const TextGrid& textgrid) { return to_data(textgrid); });
}

}  // namespace textgrid
