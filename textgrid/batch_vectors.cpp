// Serial batch of vectors until the pool-based batch lands.
#include "textgrid/lib.h"

namespace textgrid {

std::vector<TextGridVectors> files_to_vectors(const std::vector<std::string>& files, bool strict,
                                              std::string_view file_type) {
    std::vector<TextGridVectors> out(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        Result<TextGrid> grid = read_from_file(files[i], strict, file_type);
        if (grid) out[i] = to_vectors(grid.value());
    }
    return out;
}

}  // namespace textgrid
