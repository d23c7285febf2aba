// Whether a code point is printable: not a control, format, surrogate, private-use, unassigned
// or separator character (the ASCII space excepted). Used where text is shown escaped.
#pragma once

#include <cstdint>

namespace orx {

bool is_printable(int32_t cp);

}  // namespace orx
