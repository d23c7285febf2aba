#include "symbols.h"

#include <algorithm>
#include <limits>

#include "bytes.h"
#include "utils.h"

namespace orx {

namespace {

constexpr size_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr size_t kEntryFixed = 8;  // id and ticker length

Error truncated() {
  return Error(IoError::invalid_data("symbol map runs past the end of its data"));
}

}  // namespace

size_t SymbolMap::serialized_size() const {
  size_t n = 4;
  for (const auto& [id, ticker] : map) n += kEntryFixed + ticker.size();
  return n;
}

Status SymbolMap::check_writable() const {
  if (map.size() > kU32Max)
    return Error::encode("symbol map of " + std::to_string(map.size()) +
                         " entries exceeds the 32-bit entry count");
  for (const auto& [id, ticker] : map) {
    if (ticker.size() > kU32Max)
      return Error::encode("ticker of " + std::to_string(ticker.size()) + " bytes for id " +
                           std::to_string(id) + " exceeds the 32-bit length field");
  }
  return {};
}

Result<std::vector<uint8_t>> SymbolMap::serialize() const {
  ORX_CHECK(check_writable());
  std::vector<uint8_t> out;
  out.reserve(serialized_size());
  append_to(out);
  return out;
}

void SymbolMap::append_to(std::vector<uint8_t>& out) const {
  append_le(out, static_cast<uint32_t>(map.size()));
  // Ascending ids, so that equal maps always give the same bytes.
  std::vector<const std::pair<const uint32_t, std::string>*> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  for (const auto* entry : entries) {
    append_le(out, entry->first);
    append_le(out, static_cast<uint32_t>(entry->second.size()));
    out.insert(out.end(), entry->second.begin(), entry->second.end());
  }
}

Result<SymbolMap> SymbolMap::deserialize(std::string_view bytes, size_t& position) {
  if (position > bytes.size()) return truncated();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t end = bytes.size();
  size_t p = position;
  if (end - p < 4) return truncated();
  const uint32_t count = load_le<uint32_t>(data + p);
  p += 4;

  SymbolMap out;
  // The count is untrusted: reserve no more than the remaining bytes could describe.
  const size_t fits = (end - p) / kEntryFixed;
  out.map.reserve(count < fits ? count : fits);
  for (uint32_t i = 0; i < count; ++i) {
    if (end - p < kEntryFixed) return truncated();
    const uint32_t id = load_le<uint32_t>(data + p);
    const uint32_t len = load_le<uint32_t>(data + p + 4);
    p += kEntryFixed;
    if (end - p < len) return truncated();
    const std::string_view ticker = bytes.substr(p, len);
    if (!is_valid_utf8(ticker))
      return Error(IoError::invalid_data("ticker of instrument id " + std::to_string(id) +
                                         " is not valid UTF-8"));
    out.map.insert_or_assign(id, std::string(ticker));
    p += len;
  }
  position = p;
  return out;
}

Result<std::string> SymbolMap::get_ticker(uint32_t id) const {
  if (const std::string* ticker = find(id)) return *ticker;
  return Error::custom("instrument id " + std::to_string(id) + " is not in the symbol map");
}

std::string to_string(const SymbolMap& symbols) {
  std::string out = "{";
  for (const auto& [id, ticker] : symbols.map) {
    out += std::to_string(id);
    out += ": \"";
    out += ticker;
    out += "\", ";
  }
  if (!symbols.map.empty()) out.resize(out.size() - 2);
  out += '}';
  return out;
}

}  // namespace orx
