// Shared helpers of the core: UTF-8 text handling and the time conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "result.h"

namespace orx {

// --- UTF-8 text -------------------------------------------------------------------------------

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Decodes one code point at `pos` of well-formed UTF-8 and advances `pos`. Returns the code
// point, or -1 (advancing one byte) on a malformed sequence.
int32_t next_code_point(std::string_view text, size_t& pos);

// Unicode White_Space property.
bool is_unicode_space(int32_t cp);

// The text without leading and trailing Unicode white space.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace orx
