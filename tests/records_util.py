"""Record factories shared by the record, encoder and buffer tests."""

from orx import Action, BboMsg, BidAskPair, Mbp1Msg, OhlcvMsg, Side, TradeMsg


def level(*v):
    return BidAskPair(*(v or (1, 2, 3, 4, 5, 6)))


def mbp1(instrument_id=7, ts_event=1, price=1_500_000_000, action=Action.ADD, side=Side.BID,
         **kw):
    args = dict(instrument_id=instrument_id, ts_event=ts_event, rollover_flag=0, price=price,
                size=10, action=action, side=side, flags=0, depth=0, ts_recv=2, ts_in_delta=-5,
                sequence=9, discriminator=3, levels=[level()])
    args.update(kw)
    return Mbp1Msg(**args)


def trade(**kw):
    args = dict(instrument_id=7, ts_event=1, rollover_flag=0, price=1_500_000_000, size=10,
                action=Action.ADD, side=Side.BID, flags=0, depth=0, ts_recv=2, ts_in_delta=-5,
                sequence=9)
    args.update(kw)
    return TradeMsg(**args)


def bbo(**kw):
    args = dict(instrument_id=1, ts_event=2, rollover_flag=3, price=4, size=5, side=Side.ASK,
                flags=6, ts_recv=7, sequence=8, levels=[level()])
    args.update(kw)
    return BboMsg(**args)


def ohlcv(**kw):
    args = dict(instrument_id=1, ts_event=2, rollover_flag=3, open=1_500_000_000, high=2, low=3,
                close=4, volume=5)
    args.update(kw)
    return OhlcvMsg(**args)
