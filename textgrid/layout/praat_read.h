// The "praat" layout: a TextGrid file read as Praat 6 reads it, of any of
// its kinds (the text file, whose long and short layouts are one stream of
// values; the chronological text file; the binary file), refused where
// Praat refuses it.
//
// Praat, once it has read a tier, sorts its items, drops an item whose start
// repeats an earlier one, turns CR LF in a label into LF, and gives an
// interval tier without intervals one empty interval. These readers read the
// values as Praat does but keep every item in file order (the chronological
// layout's in time order within each tier), every byte of a label, and an
// empty tier empty.
//
// Every failure is a read error (never FatalReadError) whose message says
// where: "line 12: found a string where a number (xmax of tier 2) was
// expected", "binary TextGrid file ends at byte 4100 inside the label of
// item 3 of tier 1", "not a TextGrid file: ...".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "textgrid/base/result.h"
#include "textgrid/model/textgrid.h"
#include "textgrid/text/text_decode.h"

namespace textgrid {

// Loads the file at path, tells its kind by its first bytes, decodes a text
// file by `encoding` and reads it; when strict, refuses undefined times and
// then validates as the other readers do. text_bytes, when given, is set to
// the number of bytes loaded (0 when the file could not be loaded). Throws
// only std::bad_alloc and Interrupted (interrupt.h). Safe to call from
// several threads at once.
Result<TextGrid> read_praat_file(const std::string& path, bool strict, Encoding encoding = Encoding::praat,
                                 std::size_t* text_bytes = nullptr);

// The readers of each kind, on a file's content; they never validate.
// `text` is decoded UTF-8 starting with the "ooTextFile" line or the
// chronological header; `bytes` starts with "ooBinaryFile". With strict,
// an undefined number is refused where it is read.
Result<TextGrid> parse_praat_text(std::string_view text, std::string name, bool strict);
Result<TextGrid> parse_praat_chronological(std::string_view text, std::string name, bool strict);
Result<TextGrid> parse_praat_binary(std::string_view bytes, std::string name);

// Tells a loaded file's kind and reads it; what read_praat_file does after
// loading.
Result<TextGrid> parse_praat_file(FileText bytes, std::string name, bool strict, Encoding encoding);

}  // namespace textgrid
