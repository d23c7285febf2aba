// RetrieveParams: one request for historical market data, built from date texts and carried
// as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "enums.h"
#include "result.h"

namespace orx {

// Fields in declaration order, which is also the order of the JSON keys, of the debug text
// and of the constructor's parameters. No relation between the fields is enforced.
struct RetrieveParams {
  std::vector<std::string> symbols;
  int64_t start_ts = 0;  // nanoseconds since the UNIX epoch, UTC
  int64_t end_ts = 0;
  Schema schema = Schema::Mbp1;
  Dataset dataset = Dataset::Futures;
  Stype stype = Stype::Raw;

  bool operator==(const RetrieveParams&) const = default;
};

// Converts the start, then the end, with date_to_unix_nanos; the first failure is returned.
Result<RetrieveParams> make_retrieve_params(std::vector<std::string> symbols,
                                            std::string_view start, std::string_view end,
                                            Schema schema, Dataset dataset, Stype stype);

// Compact JSON, keys in declaration order, enumerations by their variant names:
// {"symbols":["AAA"],"start_ts":1,"end_ts":2,"schema":"Mbp1","dataset":"Futures","stype":"Raw"}
std::string to_json(const RetrieveParams& params);

// Reads the whole text as one JSON value: an object with the six fields (any order, unknown
// keys skipped) or an array of the six values in declaration order. A failure is an Error of
// kind Decode whose payload is the reader's message with its position (see json.h).
Result<RetrieveParams> retrieve_params_from_json(std::string_view text);

// RetrieveParams { symbols: ["A"], start_ts: 1, end_ts: 2, schema: Mbp1, dataset: Futures,
// stype: Raw }
std::string debug_text(const RetrieveParams& params);

}  // namespace orx
