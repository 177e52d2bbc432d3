// Reading one TextGrid file: loading, decoding, choosing the reader by the
// layout name, and strict validation.
//
// Besides what each function says, all of them throw Interrupted when the
// calling thread installed an interrupt check that asked to stop
// (interrupt.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "textgrid/base/result.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

// The layout a file is read as: the reader it names, or for auto_ the long
// reader when the text contains "item []" or "item[]", else the short.
// Callers name it by text; layout_named is the one place that reads the
// name, so a new layout is a new value there and in read_from_file.
enum class Layout { long_, short_, auto_ };

// The layout "long", "short" or "auto" names (exactly, case included), or
// none.
std::optional<Layout> layout_named(std::string_view name) noexcept;

// Reads one file with the reader for layout.
// Returns a read error as a value: an os error for a file that cannot be
// read, invalid data "stream did not contain valid UTF-8" or "binary
// TextGrid files are not supported", or, when strict, the first validation
// error. Throws FatalReadError for an unknown tier class, an item before any
// tier, or a short file that ends before a value it must read.
Result<TextGrid> read_from_file(const std::string& path, bool strict, Layout layout);

// read_from_file with the bytes turned into text by `encoding` first
// (decode_text in text_decode.h), which adds its read errors. With
// Encoding::utf8 it is the function above. With Encoding::praat the file is
// loaded and decoded once, and "auto" looks at the decoded text. Safe to call
// from several threads at once. text_bytes, when given, is set to the
// length of the text read (0 when the file could not be loaded), which
// tells a caller what the file cost without a stat of its own.
Result<TextGrid> read_from_file(const std::string& path, bool strict, Layout layout, Encoding encoding,
                                std::size_t* text_bytes = nullptr);

// "Failed to read TextGrid file {path} because: {error text}": how every
// reading entry point reports a file that gives a read error. May throw
// std::bad_alloc.
std::string read_failure_message(std::string_view path, const Error& error);

}  // namespace textgrid
