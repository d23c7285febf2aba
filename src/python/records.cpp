// The record classes: RecordHeader, BidAskPair, the four message classes and RecordMsg. Each
// object holds its record layout inline; getters and setters touch only their field.
#include <string>

#include "bind/bind.h"
#include "classes.h"
#include "members.h"
#include "records.h"

namespace orx::py {

// Python-side holder of RecordMsg, which carries only a static method.
struct RecordMsg {};

namespace {

// --- converters particular to records -------------------------------------------------------

// A price as a float: the fixed-point integer divided by 1e9.
struct Price {
  static PyObject* to_py(const int64_t& v) {
    return PyFloat_FromDouble(static_cast<double>(v) / 1'000'000'000.0);
  }
};

// A stored byte taken from, and shown as, a member of E (Action, Side, RType).
template <class E>
struct MemberOf {
  template <class B>
  static bool load(PyObject* o, B& out) {
    E e;
    if (!Conv<E>::load(o, e)) return false;
    out = static_cast<B>(to_byte(e));
    return true;
  }
  template <class B>
  static PyObject* to_py(const B& byte) {
    return member_from_byte<E>(static_cast<uint8_t>(byte));
  }
};

// --- rows shared by the message classes -------------------------------------------------------

// Constructor parameters that fill the header.
template <class T>
constexpr auto header_params() {
  return std::tuple{rw<ORX_AT(T, hd.instrument_id)>("instrument_id"),
                    rw<ORX_AT(T, hd.ts_event)>("ts_event"),
                    rw<ORX_AT(T, hd.rollover_flag)>("rollover_flag")};
}

// Attributes every message has: the header copy and the header fields it exposes directly.
// `ts_event` is writable on BboMsg only.
template <class T>
constexpr auto header_fields() {
  if constexpr (std::is_same_v<T, BboMsg>) {
    return std::tuple{rw<&T::hd>("hd"), rw<ORX_AT(T, hd.instrument_id)>("instrument_id"),
                      rw<ORX_AT(T, hd.ts_event)>("ts_event"),
                      ro<ORX_AT(T, hd.rollover_flag)>("rollover_flag"),
                      ro<ORX_AT(T, hd.rtype), MemberOf<RType>>("rtype")};
  } else {
    return std::tuple{rw<&T::hd>("hd"), rw<ORX_AT(T, hd.instrument_id)>("instrument_id"),
                      ro<ORX_AT(T, hd.ts_event)>("ts_event"),
                      ro<ORX_AT(T, hd.rollover_flag)>("rollover_flag"),
                      ro<ORX_AT(T, hd.rtype), MemberOf<RType>>("rtype")};
  }
}

// Dictionary keys taken from the header.
template <class T>
constexpr auto header_keys() {
  return std::tuple{ro<ORX_AT(T, hd.length)>("length"), ro<ORX_AT(T, hd.rtype)>("rtype"),
                    ro<ORX_AT(T, hd.instrument_id)>("instrument_id"),
                    ro<ORX_AT(T, hd.ts_event)>("ts_event"),
                    ro<ORX_AT(T, hd.rollover_flag)>("rollover_flag")};
}

// Dictionary keys of the first book level.
template <class T>
constexpr auto level_keys() {
  return std::tuple{
      ro<ORX_AT(T, levels[0].bid_px)>("bid_px"), ro<ORX_AT(T, levels[0].ask_px)>("ask_px"),
      ro<ORX_AT(T, levels[0].bid_sz)>("bid_sz"), ro<ORX_AT(T, levels[0].ask_sz)>("ask_sz"),
      ro<ORX_AT(T, levels[0].bid_ct)>("bid_ct"), ro<ORX_AT(T, levels[0].ask_ct)>("ask_ct")};
}

// The body MBP-1 and trade records share (offsets 24 to 55): constructor parameters (flags
// before depth, action and side as members), attributes, dictionary keys (flags before depth)
// and text fields (layout order: depth before flags).
template <class T>
constexpr auto trade_params() {
  return std::tuple{rw<&T::price>("price"),
                    rw<&T::size>("size"),
                    rw<&T::action, MemberOf<Action>>("action"),
                    rw<&T::side, MemberOf<Side>>("side"),
                    rw<&T::flags>("flags"),
                    rw<&T::depth>("depth"),
                    rw<&T::ts_recv>("ts_recv"),
                    rw<&T::ts_in_delta>("ts_in_delta"),
                    rw<&T::sequence>("sequence")};
}

template <class T>
constexpr auto trade_fields() {
  return std::tuple{rw<&T::price>("price"),
                    rw<&T::size>("size"),
                    rw<&T::action>("action"),
                    rw<&T::side>("side"),
                    rw<&T::depth>("depth"),
                    rw<&T::flags>("flags"),
                    rw<&T::ts_recv>("ts_recv"),
                    rw<&T::ts_in_delta>("ts_in_delta"),
                    rw<&T::sequence>("sequence"),
                    ro<&T::price, Price>("pretty_price"),
                    ro<&T::action, MemberOf<Action>>("pretty_action"),
                    ro<&T::side, MemberOf<Side>>("pretty_side")};
}

template <class T>
constexpr auto trade_keys() {
  return std::tuple{ro<&T::price>("price"),      ro<&T::size>("size"),
                    ro<&T::action>("action"),    ro<&T::side>("side"),
                    ro<&T::flags>("flags"),      ro<&T::depth>("depth"),
                    ro<&T::ts_recv>("ts_recv"),  ro<&T::ts_in_delta>("ts_in_delta"),
                    ro<&T::sequence>("sequence")};
}

template <class T>
constexpr auto trade_text() {
  return std::tuple{ro<&T::hd>("hd"),
                    ro<&T::price>("price"),
                    ro<&T::size>("size"),
                    ro<&T::action>("action"),
                    ro<&T::side>("side"),
                    ro<&T::depth>("depth"),
                    ro<&T::flags>("flags"),
                    ro<&T::ts_recv>("ts_recv"),
                    ro<&T::ts_in_delta>("ts_in_delta"),
                    ro<&T::sequence>("sequence")};
}

// --- the text form: "Name { field: value, ... }" ---------------------------------------------

template <class V>
void write_value(std::string& out, const V& v);

template <class Rows, class T>
void write_struct(std::string& out, const char* name, const Rows& rows, const T& value) {
  out += name;
  out += " { ";
  bool first = true;
  std::apply(
      [&](const auto&... row) {
        ((out += first ? "" : ", ", first = false, out += row.name, out += ": ",
          write_value(out,
                      field_ref<std::remove_cvref_t<decltype(row)>::path>(const_cast<T&>(value)))),
         ...);
      },
      rows);
  out += " }";
}

constexpr auto kHeaderText = std::tuple{
    ro<&RecordHeader::length>("length"), ro<&RecordHeader::rtype>("rtype"),
    ro<&RecordHeader::instrument_id>("instrument_id"), ro<&RecordHeader::ts_event>("ts_event"),
    ro<&RecordHeader::rollover_flag>("rollover_flag")};

constexpr auto kLevelText =
    std::tuple{ro<&BidAskPair::bid_px>("bid_px"), ro<&BidAskPair::ask_px>("ask_px"),
               ro<&BidAskPair::bid_sz>("bid_sz"), ro<&BidAskPair::ask_sz>("ask_sz"),
               ro<&BidAskPair::bid_ct>("bid_ct"), ro<&BidAskPair::ask_ct>("ask_ct")};

template <class V>
void write_value(std::string& out, const V& v) {
  if constexpr (std::is_same_v<V, RecordHeader>) {
    write_struct(out, "RecordHeader", kHeaderText, v);
  } else if constexpr (std::is_same_v<V, std::array<BidAskPair, 1>>) {
    out += '[';
    write_struct(out, "BidAskPair", kLevelText, v[0]);
    out += ']';
  } else {
    out += std::to_string(+v);  // promoted, so 8-bit fields print as numbers
  }
}

template <class T>
PyObject* record_str(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SharedHold hold(cell_of<T>(self));
    if (!hold) return nullptr;
    std::string text;
    write_struct(text, PyClass<T>::name, PyClass<T>::text_fields, value_of<T>(self));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// What the four message classes share.
template <class T>
struct MessageBase {
  static constexpr bool has_dict = true;
  static constexpr const char* dict_method = "__dict__($self)\n--\n\n";
  static inline PyType_Slot slots[] = {{Py_tp_str, reinterpret_cast<void*>(&record_str<T>)}};
};

PyObject* is_record(PyObject* obj) {
  PyTypeObject* tp = Py_TYPE(obj);
  const bool yes = tp == g_type<Mbp1Msg> || tp == g_type<TradeMsg> || tp == g_type<OhlcvMsg> ||
                   tp == g_type<BboMsg>;
  return PyBool_FromLong(yes);
}

}  // namespace

template <>
struct PyClass<RecordHeader> {
  static constexpr const char* name = "RecordHeader";
  static constexpr const char* doc = "Constant data across all records.";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      rw<&RecordHeader::length>("length"), rw<&RecordHeader::rtype>("rtype"),
      rw<&RecordHeader::instrument_id>("instrument_id"), rw<&RecordHeader::ts_event>("ts_event"),
      rw<&RecordHeader::rollover_flag>("rollover_flag")};
};

template <>
struct PyClass<BidAskPair> {
  static constexpr const char* name = "BidAskPair";
  static constexpr const char* doc = "Order book level e.g. MBP1 would contain the top level.";
  static constexpr bool has_dict = true;
  static constexpr auto init =
      std::tuple{rw<&BidAskPair::bid_px>("bid_px", "The bid price."),
                 rw<&BidAskPair::ask_px>("ask_px", "The ask price."),
                 rw<&BidAskPair::bid_sz>("bid_sz", "The bid size."),
                 rw<&BidAskPair::ask_sz>("ask_sz", "The ask size."),
                 rw<&BidAskPair::bid_ct>("bid_ct", "The bid order count."),
                 rw<&BidAskPair::ask_ct>("ask_ct", "The ask order count.")};
  static constexpr auto fields =
      std::tuple_cat(init, std::tuple{ro<&BidAskPair::bid_px, Price>("pretty_bid_px"),
                                      ro<&BidAskPair::ask_px, Price>("pretty_ask_px")});
};

template <>
struct PyClass<Mbp1Msg> : MessageBase<Mbp1Msg> {
  using T = Mbp1Msg;
  static constexpr const char* name = "Mbp1Msg";
  static constexpr const char* doc = "Mbp1Msg struct";
  static constexpr const char* kDiscriminatorDoc =
      "Differentiates records that are otherwise the same but not duplicates.";
  static constexpr auto init =
      std::tuple_cat(header_params<T>(), trade_params<T>(),
                     std::tuple{rw<&T::discriminator>("discriminator"), rw<&T::levels>("levels")});
  static constexpr auto fields =
      std::tuple_cat(header_fields<T>(), trade_fields<T>(),
                     std::tuple{rw<&T::discriminator>("discriminator", kDiscriminatorDoc),
                                rw<&T::levels>("levels")});
  static constexpr auto dict_fields =
      std::tuple_cat(header_keys<T>(), trade_keys<T>(),
                     std::tuple{ro<&T::discriminator>("discriminator")}, level_keys<T>());
  static constexpr auto text_fields =
      std::tuple_cat(trade_text<T>(),
                     std::tuple{ro<&T::discriminator>("discriminator"), ro<&T::levels>("levels")});
};

template <>
struct PyClass<TradeMsg> : MessageBase<TradeMsg> {
  using T = TradeMsg;
  static constexpr const char* name = "TradeMsg";
  static constexpr auto init = std::tuple_cat(header_params<T>(), trade_params<T>());
  static constexpr auto fields = std::tuple_cat(header_fields<T>(), trade_fields<T>());
  static constexpr auto dict_fields = std::tuple_cat(header_keys<T>(), trade_keys<T>());
  static constexpr auto text_fields = trade_text<T>();
};

template <>
struct PyClass<BboMsg> : MessageBase<BboMsg> {
  using T = BboMsg;
  static constexpr const char* name = "BboMsg";
  static constexpr auto init = std::tuple_cat(
      header_params<T>(),
      std::tuple{rw<&T::price>("price"), rw<&T::size>("size"), rw<&T::side, MemberOf<Side>>("side"),
                 rw<&T::flags>("flags"), rw<&T::ts_recv>("ts_recv"), rw<&T::sequence>("sequence"),
                 rw<&T::levels>("levels")});
  static constexpr auto fields = std::tuple_cat(
      header_fields<T>(),
      std::tuple{
          rw<&T::price>("price"), rw<&T::size>("size"), rw<&T::side>("side"),
          rw<&T::flags>("flags"), rw<&T::ts_recv>("ts_recv"), rw<&T::sequence>("sequence"),
          rw<&T::levels>("levels"), ro<&T::price, Price>("pretty_price"),
          ro<&T::side, MemberOf<Side>>("pretty_side"),
          // Write-through to the first level; not readable.
          wo<ORX_AT(T, levels[0].bid_px)>("bid_px"), wo<ORX_AT(T, levels[0].ask_px)>("ask_px"),
          wo<ORX_AT(T, levels[0].bid_sz)>("bid_sz"), wo<ORX_AT(T, levels[0].ask_sz)>("ask_sz"),
          wo<ORX_AT(T, levels[0].bid_ct)>("bid_ct"), wo<ORX_AT(T, levels[0].ask_ct)>("ask_ct")});
  static constexpr auto dict_fields = std::tuple_cat(
      header_keys<T>(),
      std::tuple{ro<&T::price>("price"), ro<&T::size>("size"), ro<&T::side>("side"),
                 ro<&T::flags>("flags"), ro<&T::ts_recv>("ts_recv"), ro<&T::sequence>("sequence")},
      level_keys<T>());
  static constexpr auto text_fields = std::tuple{ro<&T::hd>("hd"),
                                                 ro<&T::price>("price"),
                                                 ro<&T::size>("size"),
                                                 ro<&T::side>("side"),
                                                 ro<&T::flags>("flags"),
                                                 ro<&T::ts_recv>("ts_recv"),
                                                 ro<&T::sequence>("sequence"),
                                                 ro<&T::levels>("levels")};
};

template <>
struct PyClass<OhlcvMsg> : MessageBase<OhlcvMsg> {
  using T = OhlcvMsg;
  static constexpr const char* name = "OhlcvMsg";
  static constexpr const char* doc = "OhlcvMsg struct";
  static constexpr auto bar =
      std::tuple{rw<&T::open>("open"), rw<&T::high>("high"), rw<&T::low>("low"),
                 rw<&T::close>("close"), rw<&T::volume>("volume")};
  static constexpr auto init = std::tuple_cat(header_params<T>(), bar);
  static constexpr auto fields = std::tuple_cat(
      header_fields<T>(), bar,
      std::tuple{ro<&T::close, Price>("pretty_price"), ro<&T::open, Price>("pretty_open"),
                 ro<&T::high, Price>("pretty_high"), ro<&T::low, Price>("pretty_low"),
                 ro<&T::close, Price>("pretty_close")});
  static constexpr auto dict_fields = std::tuple_cat(header_keys<T>(), bar);
  static constexpr auto text_fields = std::tuple_cat(std::tuple{ro<&T::hd>("hd")}, bar);
};

template <>
struct PyClass<RecordMsg> {
  static constexpr const char* name = "RecordMsg";
  static constexpr bool has_dict = true;
  static inline const MethodRow methods[] = {
      static_method<&is_record>("is_record(obj)\n--\n\n"),
  };
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::RecordHeader)
ORX_DEFINE_CLASS(orx::BidAskPair)
ORX_DEFINE_CLASS(orx::Mbp1Msg)
ORX_DEFINE_CLASS(orx::TradeMsg)
ORX_DEFINE_CLASS(orx::BboMsg)
ORX_DEFINE_CLASS(orx::OhlcvMsg)
ORX_DEFINE_CLASS(orx::py::RecordMsg)
