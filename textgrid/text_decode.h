// Turning a loaded file's bytes into the UTF-8 text the readers parse.
#pragma once

namespace textgrid {

// How a file's bytes become text.
//   utf8:  the bytes must be UTF-8 as they stand; anything else is the read
//          error "stream did not contain valid UTF-8".
//   praat: the rule Praat itself reads by: a UTF-16 file announced by its
//          byte order mark, a UTF-8 byte order mark dropped, valid UTF-8 as
//          it stands, and ISO Latin-1 for everything else.
enum class Encoding { utf8, praat };

}  // namespace textgrid
