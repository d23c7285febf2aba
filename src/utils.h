// Shared helpers of the core: UTF-8 text handling and the time conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// --- Time -------------------------------------------------------------------------------------

// A date ("%Y-%m-%d", when the text is exactly 10 bytes long) or a date and time
// ("%Y-%m-%d %H:%M:%S", any other length) in UTC, as nanoseconds since the UNIX epoch.
// Unicode white space may precede every number, and the space between date and time matches
// any run of white space, none included. Numbers have one or two digits, the year one to four,
// or a sign and any number of digits. A second of 60 is a leap second: second 0 of the next
// minute. Fails with a ParseError reason; a date outside the signed 64-bit nanosecond range
// (1677-09-21 00:12:44 to 2262-04-11 23:47:16) is "input is out of range".
Result<int64_t> date_to_unix_nanos(std::string_view text);

// "%Y-%m-%d %H:%M:%S" in UTC for nanoseconds since the UNIX epoch, the fraction of the second
// dropped (rounding towards the past). Every int64_t gives a four-digit year.
std::string unix_nanos_to_string(int64_t nanos);

}  // namespace orx
