// The date parser on arbitrary bytes, and the nanosecond formatter on the first eight bytes.
// A parsed date is a whole number of seconds that formats and parses back to itself; every
// formatted count is 19 characters and parses back to its whole second, unless that second
// lies before the first one a signed 64-bit nanosecond count can hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  constexpr int64_t kNano = 1'000'000'000;

  auto parsed = orx::date_to_unix_nanos(text);
  if (parsed) {
    if (*parsed % kNano != 0) std::abort();
    auto back = orx::date_to_unix_nanos(orx::unix_nanos_to_string(*parsed));
    if (!back || *back != *parsed) std::abort();
  } else if (parsed.error().kind() != orx::ErrorKind::ParseError) {
    std::abort();
  }

  if (size >= 8) {
    int64_t nanos;
    std::memcpy(&nanos, data, sizeof nanos);
    const std::string formatted = orx::unix_nanos_to_string(nanos);
    if (formatted.size() != 19) std::abort();
    int64_t seconds = nanos / kNano - (nanos % kNano < 0 ? 1 : 0);
    auto back = orx::date_to_unix_nanos(formatted);
    if (seconds < INT64_MIN / kNano) {
      if (back) std::abort();
    } else if (!back || *back != seconds * kNano) {
      std::abort();
    }
  }
  return 0;
}
