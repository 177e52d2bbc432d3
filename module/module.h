// What every function file of the module includes: the mapping of failures
// to Python exceptions (errors.h), the process-wide pieces (interpreter.h),
// and the one-file read the reading functions share.
//
// Everything here needs the interpreter lock.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "module/errors.h"
#include "module/interpreter.h"
#include "textgrid/layout/read.h"
#include "textgrid/model/textgrid.h"

namespace orvex {

// Reads one file and returns convert(textgrid), the TextGrid being released
// before this returns. A read error raises the read-failure OSError and
// gives nothing; FatalReadError and std::bad_alloc propagate to the guard.
template <class Convert>
auto read_and_convert(const std::string& file, bool strict, textgrid::Layout layout, Convert convert)
    -> std::optional<decltype(convert(std::declval<const textgrid::TextGrid&>()))> {
    textgrid::Result<textgrid::TextGrid> read = textgrid::read_from_file(file, strict, layout);
    if (!read) {
        raise_read_error(file, read.error());
        return std::nullopt;
    }
    return convert(read.value());
}

}  // namespace orvex
