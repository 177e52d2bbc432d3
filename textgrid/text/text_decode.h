// Turning a loaded file's bytes into the UTF-8 text the readers parse.
#pragma once

#include "textgrid/os/file_io.h"
#include "textgrid/base/result.h"

#include <string_view>

namespace textgrid {

// How a file's bytes become text.
//   utf8:  the bytes must be UTF-8 as they stand; anything else is the read
//          error "stream did not contain valid UTF-8".
//   praat: the rule Praat itself reads by: a UTF-16 file announced by its
//          byte order mark, a UTF-8 byte order mark dropped, valid UTF-8 as
//          it stands, and ISO Latin-1 for everything else.
// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

enum class Encoding { utf8, praat };

// Turns a file's bytes into well-formed UTF-8 text by `encoding`, taking
// over `bytes`. Under both settings, bytes that begin with "ooBinaryFile"
// (Praat's binary layout) give the invalid-data error "binary TextGrid
// files are not supported".
//
// utf8: returns `bytes` unchanged when they are UTF-8, else the invalid-data
// error "stream did not contain valid UTF-8".
//
// praat, by the first bytes:
//   FE FF / FF FE  UTF-16 big / little endian: the mark is dropped and the
//                  rest turned into UTF-8 in a new buffer, surrogate pairs
//                  joined into one character. An odd number of bytes, or a
//                  surrogate without its partner, is an invalid-data error
//                  that names the problem and its byte offset.
//   EF BB BF       the mark is dropped; the rest is taken as below.
//   otherwise      UTF-8 text is returned as it is (no copy); anything else
//                  is ISO Latin-1, each byte the character of that number,
//                  turned into UTF-8 in a new buffer.
// UTF-8 input is only validated, as under utf8; UTF-16 takes one pass.
// Throws std::bad_alloc when no memory is left for a new buffer; nothing
// else is thrown.
Result<FileText> decode_text(FileText bytes, Encoding encoding);

}  // namespace textgrid
