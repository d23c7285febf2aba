#include "registry.h"

#include "bind/bind.h"
#include "classes.h"

namespace orx::py {
namespace {

template <class T>
constexpr ClassRow row() {
  return {class_name<T>, &build_type<T>, &g_type<T>, &instance_size<T>};
}

// Type objects are created, listed in __all__ and bound in this order.
constexpr ClassRow kRegistry[] = {
    row<Side>(),   row<Vendors>(), row<Stype>(), row<Dataset>(),
    row<Action>(), row<Schema>(),  row<RType>(),
    row<SymbolMap>(),
    row<Metadata>(),
    row<RecordHeader>(),
    row<OhlcvMsg>(),
    row<Mbp1Msg>(),
    row<TradeMsg>(),
    row<BboMsg>(),
    row<BidAskPair>(),
    row<RetrieveParams>(),
    row<BufferStore>(),
    row<RecordMsg>(),
    row<BacktestData>(),
    row<BacktestMetaData>(),
    row<StaticStats>(),
    row<Parameters>(),
    row<TimeseriesStats>(),
    row<Trades>(),
    row<Signals>(),
    row<SignalInstructions>(),
    row<LiveData>(),
    row<AccountSummary>(),
    row<PyRecordEncoder>(),
    row<PyMetadataEncoder>(),
    row<PyBacktestEncoder>(),
};

}  // namespace

std::span<const ClassRow> class_registry() { return kRegistry; }

bool adopt_classes(PyObject* lib) {
  for (const ClassRow& r : kRegistry) {
    Ref cls = Ref::steal(PyObject_GetAttrString(lib, r.name));
    if (!cls) return false;
    if (!PyType_Check(cls.get()) ||
        reinterpret_cast<PyTypeObject*>(cls.get())->tp_basicsize != r.basicsize()) {
      PyErr_Format(PyExc_ImportError,
                   "orx._lib.%s does not match this build of orx._ext; reinstall orx", r.name);
      return false;
    }
    if (!*r.slot) *r.slot = reinterpret_cast<PyTypeObject*>(cls.release());
  }
  return true;
}

}  // namespace orx::py
