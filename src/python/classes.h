// Every class of the module, declared once so that converters, getters and the registry can
// name any of them; each family file defines its own with ORX_DEFINE_CLASS.
#pragma once

#include "bind/object.h"
#include "enums.h"
#include "vendors.h"

namespace orx {
struct SymbolMap;
struct Metadata;
struct RecordHeader;
struct BidAskPair;
struct Mbp1Msg;
struct TradeMsg;
struct BboMsg;
struct OhlcvMsg;
struct RetrieveParams;
struct BacktestData;
struct BacktestMetaData;
struct StaticStats;
struct Parameters;
struct TimeseriesStats;
struct Trades;
struct Signals;
struct SignalInstructions;
struct LiveData;
struct AccountSummary;
}  // namespace orx

namespace orx::py {

// Python-side holders of classes that wrap more than one core value.
struct RecordMsg;
struct BufferStore;
struct PyRecordEncoder;
struct PyMetadataEncoder;
struct PyBacktestEncoder;

ORX_DECLARE_CLASS(orx::Side, "Side")
ORX_DECLARE_CLASS(orx::Vendors, "Vendors")
ORX_DECLARE_CLASS(orx::Stype, "Stype")
ORX_DECLARE_CLASS(orx::Dataset, "Dataset")
ORX_DECLARE_CLASS(orx::Action, "Action")
ORX_DECLARE_CLASS(orx::Schema, "Schema")
ORX_DECLARE_CLASS(orx::RType, "RType")
ORX_DECLARE_CLASS(orx::SymbolMap, "SymbolMap")
ORX_DECLARE_CLASS(orx::Metadata, "Metadata")
ORX_DECLARE_CLASS(orx::RecordHeader, "RecordHeader")
ORX_DECLARE_CLASS(orx::OhlcvMsg, "OhlcvMsg")
ORX_DECLARE_CLASS(orx::Mbp1Msg, "Mbp1Msg")
ORX_DECLARE_CLASS(orx::TradeMsg, "TradeMsg")
ORX_DECLARE_CLASS(orx::BboMsg, "BboMsg")
ORX_DECLARE_CLASS(orx::BidAskPair, "BidAskPair")
ORX_DECLARE_CLASS(orx::RetrieveParams, "RetrieveParams")
ORX_DECLARE_CLASS(BufferStore, "BufferStore")
ORX_DECLARE_CLASS(RecordMsg, "RecordMsg")
ORX_DECLARE_CLASS(orx::BacktestData, "BacktestData")
ORX_DECLARE_CLASS(orx::BacktestMetaData, "BacktestMetaData")
ORX_DECLARE_CLASS(orx::StaticStats, "StaticStats")
ORX_DECLARE_CLASS(orx::Parameters, "Parameters")
ORX_DECLARE_CLASS(orx::TimeseriesStats, "TimeseriesStats")
ORX_DECLARE_CLASS(orx::Trades, "Trades")
ORX_DECLARE_CLASS(orx::Signals, "Signals")
ORX_DECLARE_CLASS(orx::SignalInstructions, "SignalInstructions")
ORX_DECLARE_CLASS(orx::LiveData, "LiveData")
ORX_DECLARE_CLASS(orx::AccountSummary, "AccountSummary")
ORX_DECLARE_CLASS(PyRecordEncoder, "PyRecordEncoder")
ORX_DECLARE_CLASS(PyMetadataEncoder, "PyMetadataEncoder")
ORX_DECLARE_CLASS(PyBacktestEncoder, "PyBacktestEncoder")

}  // namespace orx::py
