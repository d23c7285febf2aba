#include "record_ref.h"

namespace orx {

namespace {

template <class T>
Result<RType> require_layout(const RecordRef& ref) {
  if (ref.record_size() < sizeof(T)) return Error::invalid_record_type(T::kVariant);
  return T::kRType;
}

template <class T>
RecordEnum copy_as(const RecordRef& ref) {
  T value;
  std::memcpy(&value, ref.data(), sizeof(T));
  return value;
}

}  // namespace

Result<RType> convertible_kind(const RecordRef& ref) {
  switch (ref.rtype_byte()) {
    case static_cast<uint8_t>(RType::Mbp1):
      return require_layout<Mbp1Msg>(ref);
    case static_cast<uint8_t>(RType::Ohlcv):
      return require_layout<OhlcvMsg>(ref);
    case static_cast<uint8_t>(RType::Trades):
      return require_layout<TradeMsg>(ref);
    case static_cast<uint8_t>(RType::Tbbo):
      return Error::invalid_record_type("Tbbo");
    case static_cast<uint8_t>(RType::Bbo):
      return require_layout<BboMsg>(ref);
    default:
      return ref.rtype().error();
  }
}

Result<RecordEnum> to_record_enum(const RecordRef& ref) {
  ORX_TRY(const RType kind, convertible_kind(ref));
  switch (kind) {
    case RType::Mbp1:
      return copy_as<Mbp1Msg>(ref);
    case RType::Ohlcv:
      return copy_as<OhlcvMsg>(ref);
    case RType::Trades:
      return copy_as<TradeMsg>(ref);
    default:
      return copy_as<BboMsg>(ref);
  }
}

}  // namespace orx
