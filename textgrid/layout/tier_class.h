// The tier classes both readers know, in one place.
#pragma once

#include <string>
#include <string_view>

#include "textgrid/base/result.h"

namespace textgrid::detail {

// Whether a tier of class `name` (unquoted) holds intervals: true for
// "IntervalTier", false for "TextTier". Any other class ends the read:
// throws FatalReadError "Unknown tier class: {written}", written being the
// class's value as the file has it, quotes and all.
inline bool is_interval_class(std::string_view name, std::string_view written) {
    if (name == "IntervalTier") return true;
    if (name == "TextTier") return false;
    throw FatalReadError("Unknown tier class: " + std::string(written));
}

}  // namespace textgrid::detail
