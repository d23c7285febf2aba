"""Continuous contracts: ``ROOT.c.N`` names, on each day, the contract of futures root ROOT of
rank N by expiry among those with records that day (``.c.0`` is the nearest)."""

from __future__ import annotations

import re
from collections.abc import Iterable

_CONTINUOUS = re.compile(r"^(?P<root>.+)\.(?P<rule>[A-Za-z])\.(?P<rank>\d+)$")
_MONTHS = "FGHJKMNQUVXZ"


def parse(symbol: str) -> tuple[str, int]:
    """(root, rank) of a continuous symbol; ValueError saying why for any other text."""
    m = _CONTINUOUS.match(symbol)
    if m is None:
        raise ValueError(f"{symbol!r} is not a continuous symbol: Stype.CONTINUOUS takes "
                         f"'ROOT.c.N' (for example 'ES.c.0', the front month); use Stype.RAW "
                         f"for tickers")
    if m["rule"] != "c":
        raise ValueError(f"{symbol!r}: only calendar ranking ('{m['root']}.c.{m['rank']}') "
                         f"can be resolved from a catalog; rule {m['rule']!r} would need volume "
                         f"or open interest the day files do not carry")
    return m["root"], int(m["rank"])


def expiry(ticker: str, root: str, year: int) -> tuple[int, int] | None:
    """(year, month) of a futures ticker ROOT + month code + 1 or 2 year digits, on a day of
    `year`: the digits name the first year not before `year` that ends in them."""
    if not ticker.startswith(root):
        return None
    rest = ticker[len(root):]
    if len(rest) not in (2, 3) or rest[0] not in _MONTHS or not rest[1:].isdigit():
        return None
    mod = 10 ** len(rest[1:])
    return year + (int(rest[1:]) - year) % mod, _MONTHS.index(rest[0]) + 1


def resolve(symbol: str, tickers: Iterable[str], year: int) -> str | None:
    """The raw ticker `symbol` ('ES.c.0') names on a day of `year` whose instruments have
    `tickers`; None when the root has fewer contracts that day."""
    root, rank = parse(symbol)
    contracts = sorted((e, t) for t in tickers if (e := expiry(t, root, year)) is not None)
    return contracts[rank][1] if rank < len(contracts) else None
