#include "retrieve.h"

#include <array>

#include "json.h"
#include "utils.h"

namespace orx {

namespace {

constexpr std::array<std::string_view, 6> kFields{"symbols", "start_ts", "end_ts",
                                                  "schema",  "dataset",  "stype"};
constexpr std::string_view kStruct = "struct RetrieveParams";

template <class E>
constexpr auto variant_names() {
  std::array<std::string_view, EnumTable<E>::members.size()> names{};
  for (size_t i = 0; i < names.size(); ++i) names[i] = EnumTable<E>::members[i].variant;
  return names;
}

template <class E>
Result<E> read_enum(json::Reader& reader, std::string_view expected) {
  static constexpr auto names = variant_names<E>();
  ORX_TRY(const size_t index, reader.read_variant(names, expected));
  return static_cast<E>(EnumTable<E>::members[index].value);
}

Status read_field(json::Reader& reader, RetrieveParams& p, size_t field) {
  switch (field) {
    case 0: {
      ORX_CHECK(reader.begin_array("a sequence"));
      std::vector<std::string> symbols;
      while (true) {
        ORX_TRY(const bool more, reader.next_element());
        if (!more) break;
        ORX_TRY(std::string symbol, reader.read_string("a string"));
        symbols.push_back(std::move(symbol));
      }
      p.symbols = std::move(symbols);
      return {};
    }
    case 1: {
      ORX_TRY(p.start_ts, reader.read_i64());
      return {};
    }
    case 2: {
      ORX_TRY(p.end_ts, reader.read_i64());
      return {};
    }
    case 3: {
      ORX_TRY(p.schema, read_enum<Schema>(reader, "enum Schema"));
      return {};
    }
    case 4: {
      ORX_TRY(p.dataset, read_enum<Dataset>(reader, "enum Dataset"));
      return {};
    }
    default: {
      ORX_TRY(p.stype, read_enum<Stype>(reader, "enum Stype"));
      return {};
    }
  }
}

std::string invalid_length(size_t n) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(kStruct) +
         " with 6 elements";
}

Status read_object(json::Reader& reader, RetrieveParams& p, size_t start) {
  ORX_CHECK(reader.begin_object(kStruct));
  bool seen[kFields.size()] = {};
  std::string key;
  while (true) {
    ORX_TRY(const bool more, reader.next_key(key));
    if (!more) break;
    size_t field = 0;
    while (field < kFields.size() && kFields[field] != key) ++field;
    if (field == kFields.size()) {
      ORX_CHECK(reader.skip_value());  // unknown keys are skipped, their values still checked
      continue;
    }
    if (seen[field]) {
      return reader.error_at(reader.key_offset(),
                             "duplicate field `" + std::string(kFields[field]) + "`");
    }
    ORX_CHECK(read_field(reader, p, field));
    seen[field] = true;
  }
  for (size_t field = 0; field < kFields.size(); ++field) {
    if (!seen[field])
      return reader.error_at(start, "missing field `" + std::string(kFields[field]) + "`");
  }
  return {};
}

Status read_array(json::Reader& reader, RetrieveParams& p, size_t start) {
  ORX_CHECK(reader.begin_array(kStruct));
  size_t n = 0;
  while (true) {
    ORX_TRY(const bool more, reader.next_element());
    if (!more) break;
    if (n < kFields.size())
      ORX_CHECK(read_field(reader, p, n));
    else
      ORX_CHECK(reader.skip_value());  // counted for the message
    ++n;
  }
  if (n != kFields.size()) return reader.error_at(start, invalid_length(n));
  return {};
}

}  // namespace

Result<RetrieveParams> make_retrieve_params(std::vector<std::string> symbols,
                                            std::string_view start, std::string_view end,
                                            Schema schema, Dataset dataset, Stype stype) {
  ORX_TRY(const int64_t start_ts, date_to_unix_nanos(start));
  ORX_TRY(const int64_t end_ts, date_to_unix_nanos(end));
  return RetrieveParams{std::move(symbols), start_ts, end_ts, schema, dataset, stype};
}

std::string to_json(const RetrieveParams& p) {
  std::string out;
  size_t size = 128;
  for (const auto& s : p.symbols) size += s.size() + 3;
  out.reserve(size);
  out += "{\"symbols\":[";
  for (size_t i = 0; i < p.symbols.size(); ++i) {
    if (i > 0) out += ',';
    json::write_string(out, p.symbols[i]);
  }
  out += "],\"start_ts\":";
  json::write_i64(out, p.start_ts);
  out += ",\"end_ts\":";
  json::write_i64(out, p.end_ts);
  out += ",\"schema\":";
  json::write_string(out, variant_name(p.schema));
  out += ",\"dataset\":";
  json::write_string(out, variant_name(p.dataset));
  out += ",\"stype\":";
  json::write_string(out, variant_name(p.stype));
  out += '}';
  return out;
}

Result<RetrieveParams> retrieve_params_from_json(std::string_view text) {
  json::Reader reader(text);
  ORX_TRY(const json::Kind kind, reader.peek());
  const size_t start = reader.offset();
  RetrieveParams p;
  if (kind == json::Kind::Object) {
    ORX_CHECK(read_object(reader, p, start));
  } else if (kind == json::Kind::Array) {
    ORX_CHECK(read_array(reader, p, start));
  } else {
    return reader.invalid_type(kStruct);
  }
  ORX_CHECK(reader.finish());
  return p;
}

std::string debug_text(const RetrieveParams& p) {
  std::string out = "RetrieveParams { symbols: [";
  for (size_t i = 0; i < p.symbols.size(); ++i) {
    if (i > 0) out += ", ";
    json::write_debug_string(out, p.symbols[i]);
  }
  out += "], start_ts: ";
  json::write_i64(out, p.start_ts);
  out += ", end_ts: ";
  json::write_i64(out, p.end_ts);
  out += ", schema: ";
  out += variant_name(p.schema);
  out += ", dataset: ";
  out += variant_name(p.dataset);
  out += ", stype: ";
  out += variant_name(p.stype);
  out += " }";
  return out;
}

}  // namespace orx
