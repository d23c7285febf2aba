"""orx demo: the vocabulary of the market-data model."""

import orx


def main():
    print(f"orx: {len(orx.__all__)} classes")
    for cls in (orx.Schema, orx.RType, orx.Dataset, orx.Stype, orx.Side, orx.Action, orx.Vendors):
        members = [v for v in vars(cls).values() if type(v) is cls]
        print(f"  {cls.__name__:8} " + ", ".join(repr(m) for m in members))
    print("RType of ohlcv-1h:", orx.RType.from_schema(orx.Schema.from_str("ohlcv-1h")))


if __name__ == "__main__":
    main()
