// Loading TextGrid files: one file, or a batch of many.
//
// Besides what each function says, all of them throw Interrupted when the
// calling thread installed an interrupt check that asked to stop
// (interrupt.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "textgrid/converter.h"
#include "textgrid/result.h"
#include "textgrid/text_decode.h"
#include "textgrid/textgrid.h"

namespace textgrid {

// Reads one file with the reader that file_type names: "long", "short", or
// "auto" (the long reader when the text contains "item []" or "item[]", else
// the short).
// Returns a read error as a value: an os error for a file that cannot be
// read, invalid data "stream did not contain valid UTF-8" or "binary
// TextGrid files are not supported", or, when strict, the first validation
// error. Throws FatalReadError for an unknown
// file_type (before the file is touched), an unknown tier class, an item
// before any tier, or a short file that ends before a value it must read.
Result<TextGrid> read_from_file(const std::string& path, bool strict, std::string_view file_type);

// read_from_file with the bytes turned into text by `encoding` first
// (decode_text in text_decode.h), which adds its read errors. With
// Encoding::utf8 it is the function above. With Encoding::praat the file is
// loaded and decoded once, and "auto" looks at the decoded text. Safe to call
// from several threads at once. text_bytes, when given, is set to the
// length of the text read (0 when the file could not be loaded), which
// tells a caller what the file cost without a stat of its own.
Result<TextGrid> read_from_file(const std::string& path, bool strict, std::string_view file_type,
                                Encoding encoding, std::size_t* text_bytes = nullptr);

// "Failed to read TextGrid file {path} because: {error text}": how every
// reading entry point reports a file that gives a read error. May throw
// std::bad_alloc.
std::string read_failure_message(std::string_view path, const Error& error);

// Reads and converts every file, on the worker pool for at least 10 x N
// paths; one entry per path, in path order. A file that gives a read error
// yields the empty entry (0, 0, no tiers). Throws FatalReadError for the
// first fatal read failure met; no result is returned then.
std::vector<TextGridData> files_to_data(const std::vector<std::string>& files, bool strict,
                                        std::string_view file_type);

// files_to_data for a caller that turns entries into something else as they
// come: on the calling thread, consume(i, entry) is called for every path in
// path order, as soon as entry i and all before it are made, while the pool
// goes on reading later files; each entry is released right after. Returns
// false when consume returned false (then no further file is started), true
// once every path was consumed. Throws FatalReadError like files_to_data,
// possibly after consume saw a prefix of the paths.
bool files_to_data_each(const std::vector<std::string>& files, bool strict, std::string_view file_type,
                        const std::function<bool(std::size_t index, const TextGridData& entry)>& consume);

// files_to_data for columnar vectors: one entry per path, in path order, with
// five empty columns for a file that gives a read error. The entries are
// kept apart; joining them is the caller's work. Throws FatalReadError as
// files_to_data does.
std::vector<TextGridVectors> files_to_vectors(const std::vector<std::string>& files, bool strict,
                                              std::string_view file_type);

}  // namespace textgrid
