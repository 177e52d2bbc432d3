// Writing a whole file from text in pieces, FIFOs included.
#pragma once

#include <string>
#include <vector>

#include "textgrid/base/result.h"

namespace textgrid {

// Creates or truncates the file at path and writes the pieces one after the
// other, handing them to the kernel as they are (no joining copy); the file
// is closed before this returns, and a failure to close is an error too.
// A FIFO is opened without blocking and waited for in short steps, so that
// the interrupt check (interrupt.h) is asked while no reader has come or the
// pipe is full: Interrupted is thrown then. Returns an os error otherwise.
Status write_file(const std::string& path, const std::vector<std::string>& pieces);

}  // namespace textgrid
