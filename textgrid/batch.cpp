// Serial stand-in for the batch until the pool-based one lands.
#include "textgrid/lib.h"

namespace textgrid {

std::vector<TextGridData> files_to_data(const std::vector<std::string>& files, bool strict,
                                        std::string_view file_type) {
    std::vector<TextGridData> out(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        Result<TextGrid> grid = read_from_file(files[i], strict, file_type);
        if (grid) out[i] = to_data(grid.value());
    }
    return out;
}

}  // namespace textgrid
