// The live-result classes. LiveData's five constructor arguments are all optional (absent and
// None alike); the core's completeness check then names the first missing one. Its attributes
// refuse None except for live_id, so a stored LiveData stays complete.
#include "backtest.h"
#include "bind/bind.h"
#include "classes.h"

namespace orx::py {

template <>
struct PyClass<LiveData> {
  static constexpr const char* name = "LiveData";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(LiveData, live_id),  // std::optional: None is the absent id
      ORX_RW(LiveData, parameters), ORX_RW(LiveData, trades),
      ORX_RW(LiveData, signals),    ORX_RW(LiveData, account),
  };
  // live_id, parameters, account, then the two lists.
  static constexpr std::array<size_t, 5> dict_order{0, 1, 4, 2, 3};
  static constexpr const char* dict_method = "to_dict($self)\n--\n\n";

  static constexpr const char* init_signature =
      "(live_id=None, parameters=None, trades=None, signals=None, account=None)";

  // Converts the arguments given in parameter order (std::optional turns None into absent),
  // then lets the core check completeness.
  static PyObject* construct(PyTypeObject* tp, PyObject** bound) {
    std::optional<uint16_t> live_id;
    std::optional<Parameters> parameters;
    std::optional<std::vector<Trades>> trades;
    std::optional<std::vector<Signals>> signals;
    std::optional<AccountSummary> account;
    if ((bound[0] && !load_arg(bound[0], live_id, "live_id")) ||
        (bound[1] && !load_arg(bound[1], parameters, "parameters")) ||
        (bound[2] && !load_arg(bound[2], trades, "trades")) ||
        (bound[3] && !load_arg(bound[3], signals, "signals")) ||
        (bound[4] && !load_arg(bound[4], account, "account")))
      return nullptr;
    Result<LiveData> live = LiveData::build(live_id, std::move(parameters), std::move(trades),
                                            std::move(signals), std::move(account));
    if (!live) {
      raise(PyExc_TypeError, live.error().payload());
      return nullptr;
    }
    return new_instance<LiveData>(tp, std::move(*live));
  }
};

template <>
struct PyClass<AccountSummary> {
  using S = AccountSummary;
  static constexpr const char* name = "AccountSummary";
  static constexpr bool has_dict = true;
  static constexpr auto fields = std::tuple{
      ORX_RW(S, currency),
      ORX_RW(S, start_timestamp),
      ORX_RW(S, start_buying_power),
      ORX_RW(S, start_excess_liquidity),
      ORX_RW(S, start_full_available_funds),
      ORX_RW(S, start_full_init_margin_req),
      ORX_RW(S, start_full_maint_margin_req),
      ORX_RW(S, start_futures_pnl),
      ORX_RW(S, start_net_liquidation),
      ORX_RW(S, start_total_cash_balance),
      ORX_RW(S, start_unrealized_pnl),
      ORX_RW(S, end_timestamp),
      ORX_RW(S, end_buying_power),
      ORX_RW(S, end_excess_liquidity),
      ORX_RW(S, end_full_available_funds),
      ORX_RW(S, end_full_init_margin_req),
      ORX_RW(S, end_full_maint_margin_req),
      ORX_RW(S, end_futures_pnl),
      ORX_RW(S, end_net_liquidation),
      ORX_RW(S, end_total_cash_balance),
      ORX_RW(S, end_unrealized_pnl),
  };
  static constexpr auto init = fields;
  static constexpr const char* dict_method = "to_dict($self)\n--\n\n";
};

}  // namespace orx::py

ORX_DEFINE_CLASS(orx::LiveData)
ORX_DEFINE_CLASS(orx::AccountSummary)
