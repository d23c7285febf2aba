// The JSON reader on arbitrary bytes, through RetrieveParams and through the generic reader.
// Every input gives a value or an error with a position, never a crash or a hang; whatever is
// accepted holds only well-formed UTF-8 and survives writing and reading back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json.h"
#include "retrieve.h"
#include "utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto params = orx::retrieve_params_from_json(text);
  if (params) {
    for (const auto& s : params->symbols)
      if (!orx::is_valid_utf8(s)) std::abort();
    const std::string json = orx::to_json(*params);
    auto again = orx::retrieve_params_from_json(json);
    if (!again || !(*again == *params) || orx::to_json(*again) != json) std::abort();
    if (!orx::is_valid_utf8(orx::debug_text(*params))) std::abort();
  } else {
    const std::string_view message = params.error().payload();
    if (message.find(" at line ") == std::string_view::npos) std::abort();
    if (orx::is_valid_utf8(text) && !orx::is_valid_utf8(message)) std::abort();
  }

  orx::json::Reader reader(text);
  auto status = reader.skip_value();
  if (status) status = reader.finish();
  return 0;
}
