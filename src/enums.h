// The closed vocabularies of the market-data model. Each enumeration has one table row per
// member holding its stored value and its three texts; every parse, lookup and text
// conversion below is driven by those tables.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace orx {

enum class Side : uint8_t { Ask = 'A', Bid = 'B', None = 'N' };
enum class Action : uint8_t {
  Modify = 'M',
  Trade = 'T',
  Fill = 'F',
  Cancel = 'C',
  Add = 'A',
  Clear = 'R',
};
enum class Schema : uint8_t {
  Mbp1 = 1,
  Ohlcv1S = 2,
  Ohlcv1M = 3,
  Ohlcv1H = 4,
  Ohlcv1D = 5,
  Trades = 6,
  Tbbo = 7,
  Bbo1S = 8,
  Bbo1M = 9,
};
enum class RType : uint8_t { Mbp1 = 1, Ohlcv = 2, Trades = 3, Tbbo = 4, Bbo = 5 };
enum class Stype : uint8_t { Raw = 1, Continuous = 2 };
enum class Dataset : uint8_t { Futures = 1, Equities = 2, Option = 3 };

// One member: stored value, variant name (JSON form), upper-cased name, text form.
struct EnumMember {
  uint8_t value;
  std::string_view variant;
  std::string_view name;
  std::string_view text;
};

// Specialised per enumeration: `type_name` and `members` (in stored-value order).
template <class E>
struct EnumTable;

template <>
struct EnumTable<Side> {
  static constexpr std::string_view type_name = "Side";
  static constexpr std::array<EnumMember, 3> members{{
      {'A', "Ask", "ASK", "A"},
      {'B', "Bid", "BID", "B"},
      {'N', "None", "NONE", "N"},
  }};
};

template <>
struct EnumTable<Action> {
  static constexpr std::string_view type_name = "Action";
  static constexpr std::array<EnumMember, 6> members{{
      {'M', "Modify", "MODIFY", "M"},
      {'T', "Trade", "TRADE", "T"},
      {'F', "Fill", "FILL", "F"},
      {'C', "Cancel", "CANCEL", "C"},
      {'A', "Add", "ADD", "A"},
      {'R', "Clear", "CLEAR", "R"},
  }};
};

template <>
struct EnumTable<Schema> {
  static constexpr std::string_view type_name = "Schema";
  static constexpr std::array<EnumMember, 9> members{{
      {1, "Mbp1", "MBP1", "mbp-1"},
      {2, "Ohlcv1S", "OHLCV1S", "ohlcv-1s"},
      {3, "Ohlcv1M", "OHLCV1M", "ohlcv-1m"},
      {4, "Ohlcv1H", "OHLCV1H", "ohlcv-1h"},
      {5, "Ohlcv1D", "OHLCV1D", "ohlcv-1d"},
      {6, "Trades", "TRADES", "trades"},
      {7, "Tbbo", "TBBO", "tbbo"},
      {8, "Bbo1S", "BBO1S", "bbo-1s"},
      {9, "Bbo1M", "BBO1M", "bbo-1m"},
  }};
};

template <>
struct EnumTable<RType> {
  static constexpr std::string_view type_name = "RType";
  static constexpr std::array<EnumMember, 5> members{{
      {1, "Mbp1", "MBP1", "mbp-1"},
      {2, "Ohlcv", "OHLCV", "ohlcv"},
      {3, "Trades", "TRADES", "trades"},
      {4, "Tbbo", "TBBO", "tbbo"},
      {5, "Bbo", "BBO", "bbo"},
  }};
};

template <>
struct EnumTable<Stype> {
  static constexpr std::string_view type_name = "Stype";
  static constexpr std::array<EnumMember, 2> members{{
      {1, "Raw", "RAW", "raw"},
      {2, "Continuous", "CONTINUOUS", "continuous"},
  }};
};

template <>
struct EnumTable<Dataset> {
  static constexpr std::string_view type_name = "Dataset";
  static constexpr std::array<EnumMember, 3> members{{
      {1, "Futures", "FUTURES", "futures"},
      {2, "Equities", "EQUITIES", "equities"},
      {3, "Option", "OPTION", "option"},
  }};
};

// --- Table-driven lookups ---------------------------------------------------------------------

template <class E>
constexpr const EnumMember* member_of_byte(uint8_t byte) {
  for (const auto& m : EnumTable<E>::members)
    if (m.value == byte) return &m;
  return nullptr;
}

template <class E>
constexpr const EnumMember& member_of(E e) {
  // Every value of E held by the system is a member; fall back to the first row otherwise.
  const EnumMember* m = member_of_byte<E>(static_cast<uint8_t>(e));
  return m ? *m : EnumTable<E>::members[0];
}

template <class E>
constexpr uint8_t to_byte(E e) {
  return static_cast<uint8_t>(e);
}

template <class E>
constexpr std::optional<E> from_byte(uint8_t byte) {
  if (member_of_byte<E>(byte)) return static_cast<E>(byte);
  return std::nullopt;
}

template <class E>
constexpr std::string_view to_text(E e) {
  return member_of(e).text;
}

template <class E>
constexpr std::string_view variant_name(E e) {
  return member_of(e).variant;
}

template <class E>
constexpr std::string_view upper_name(E e) {
  return member_of(e).name;
}

// The member whose text form is exactly `text` (case-sensitive).
template <class E>
constexpr std::optional<E> from_text(std::string_view text) {
  for (const auto& m : EnumTable<E>::members)
    if (m.text == text) return static_cast<E>(m.value);
  return std::nullopt;
}

// The member whose variant name is exactly `name` (the JSON form).
template <class E>
constexpr std::optional<E> from_variant(std::string_view name) {
  for (const auto& m : EnumTable<E>::members)
    if (m.variant == name) return static_cast<E>(m.value);
  return std::nullopt;
}

// --- Parsing from text, with each enumeration's own error --------------------------------------

Result<Schema> parse_schema(std::string_view text);    // Conversion "Unknown Schema value: '..'"
Result<RType> parse_rtype(std::string_view text);      // Conversion "Invalid value for RType: .."
Result<Stype> parse_stype(std::string_view text);      // CustomError "Unknown Stype value: '..'"
Result<Dataset> parse_dataset(std::string_view text);  // CustomError "Unknown Dataset value: '..'"

// The record kind of a stored rtype byte; Conversion "Unknown RType value: '{byte}'" otherwise.
Result<RType> rtype_from_byte(uint8_t byte);

// The record kind that a schema's records have.
constexpr RType rtype_of(Schema schema) {
  switch (schema) {
    case Schema::Mbp1:
      return RType::Mbp1;
    case Schema::Ohlcv1S:
    case Schema::Ohlcv1M:
    case Schema::Ohlcv1H:
    case Schema::Ohlcv1D:
      return RType::Ohlcv;
    case Schema::Trades:
      return RType::Trades;
    case Schema::Tbbo:
      return RType::Tbbo;
    case Schema::Bbo1S:
    case Schema::Bbo1M:
      return RType::Bbo;
  }
  return RType::Mbp1;
}

}  // namespace orx
