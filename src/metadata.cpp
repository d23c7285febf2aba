#include "metadata.h"

#include <cstdio>

#include "bytes.h"
#include "printable.h"
#include "utils.h"

namespace orx {

namespace {

Error invalid(const char* text) { return Error(IoError::invalid_data(text)); }

}  // namespace

Result<std::vector<uint8_t>> Metadata::serialize() const {
  ORX_CHECK(mappings.check_writable());
  std::vector<uint8_t> out;
  out.reserve(serialized_size());
  append_to(out);
  return out;
}

void Metadata::append_to(std::vector<uint8_t>& out) const {
  out.push_back(to_byte(schema));
  out.push_back(to_byte(dataset));
  append_le(out, start);
  append_le(out, end);
  mappings.append_to(out);
}

Result<Metadata> Metadata::deserialize(std::string_view body) {
  if (body.size() < kFixedSize) return invalid("Insufficient data to deserialize metadata");
  const auto* data = reinterpret_cast<const uint8_t*>(body.data());
  const auto schema = from_byte<Schema>(data[0]);
  if (!schema) return invalid("Invalid schema value");
  const auto dataset = from_byte<Dataset>(data[1]);
  if (!dataset) return invalid("Invalid schema value");
  Metadata out;
  out.schema = *schema;
  out.dataset = *dataset;
  out.start = load_le<uint64_t>(data + 2);
  out.end = load_le<uint64_t>(data + 10);
  size_t position = kFixedSize;
  auto symbols = SymbolMap::deserialize(body, position);
  if (!symbols) return invalid("Failed to deserialize symbol mappings");
  out.mappings = std::move(*symbols);
  return out;
}

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = pos;
    const int32_t cp = next_code_point(text, pos);
    switch (cp) {
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\0':
        out += "\\0";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      default:
        break;
    }
    if (cp >= 0 && is_printable(cp)) {
      out.append(text, start, pos - start);
    } else {
      // Text held by the system is valid UTF-8, so cp < 0 does not arise; should a stray byte
      // get here, show the byte's value rather than pass it through.
      char buf[16];
      const unsigned value =
          cp >= 0 ? static_cast<unsigned>(cp) : static_cast<unsigned char>(text[start]);
      std::snprintf(buf, sizeof buf, "\\u{%x}", value);
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::string to_string(const Metadata& m) {
  std::string out = "Metadata { schema: ";
  out += variant_name(m.schema);
  out += ", dataset: ";
  out += variant_name(m.dataset);
  out += ", start: ";
  out += std::to_string(m.start);
  out += ", end: ";
  out += std::to_string(m.end);
  out += ", mappings: SymbolMap { map: {";
  bool first = true;
  for (const auto& [id, ticker] : m.mappings.map) {
    if (!first) out += ", ";
    first = false;
    out += std::to_string(id);
    out += ": ";
    out += quote_escaped(ticker);
  }
  out += "} } }";
  return out;
}

}  // namespace orx
