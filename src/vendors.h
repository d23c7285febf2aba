// Sources of market data.
#pragma once

#include "enums.h"

namespace orx {

enum class Vendors : uint8_t { Databento = 1, Yfinance = 2 };

template <>
struct EnumTable<Vendors> {
  static constexpr std::string_view type_name = "Vendors";
  static constexpr std::array<EnumMember, 2> members{{
      {1, "Databento", "DATABENTO", "databento"},
      {2, "Yfinance", "YFINANCE", "yfinance"},
  }};
};

Result<Vendors> parse_vendors(std::string_view text);  // CustomError "Unknown Vendors value: '..'"

}  // namespace orx
