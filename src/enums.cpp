#include "enums.h"

#include "vendors.h"

namespace orx {

namespace {

template <class E>
std::string quoted_unknown(std::string_view text) {
  std::string msg = "Unknown ";
  msg += EnumTable<E>::type_name;
  msg += " value: '";
  msg += text;
  msg += '\'';
  return msg;
}

}  // namespace

Result<Schema> parse_schema(std::string_view text) {
  if (auto e = from_text<Schema>(text)) return *e;
  return Error::conversion(quoted_unknown<Schema>(text));
}

Result<RType> parse_rtype(std::string_view text) {
  if (auto e = from_text<RType>(text)) return *e;
  return Error::conversion("Invalid value for RType: " + std::string(text));
}

Result<Stype> parse_stype(std::string_view text) {
  if (auto e = from_text<Stype>(text)) return *e;
  return Error::custom(quoted_unknown<Stype>(text));
}

Result<Dataset> parse_dataset(std::string_view text) {
  if (auto e = from_text<Dataset>(text)) return *e;
  return Error::custom(quoted_unknown<Dataset>(text));
}

Result<Vendors> parse_vendors(std::string_view text) {
  if (auto e = from_text<Vendors>(text)) return *e;
  return Error::custom(quoted_unknown<Vendors>(text));
}

Result<RType> rtype_from_byte(uint8_t byte) {
  if (auto e = from_byte<RType>(byte)) return *e;
  return Error::conversion("Unknown RType value: '" + std::to_string(byte) + "'");
}

}  // namespace orx
