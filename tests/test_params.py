"""Requests from keywords: every date form names the same nanosecond, names of schemas and
datasets in any of their forms, and clear refusals."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from orx import Dataset, RetrieveParams, Schema, Stype
from orx._params import as_params, to_ns

DAY = 1_764_547_200_000_000_000  # 2025-12-01T00:00:00Z
T1430 = DAY + (14 * 3600 + 30 * 60) * 10**9


@pytest.mark.parametrize("value, ns", [
    ("2025-12-01", DAY),
    ("2025-12-01T14:30:00Z", T1430),
    ("2025-12-01 14:30:00", T1430),
    ("2025-12-01T14:30", T1430),
    ("2025-12-01t14:30:00z", T1430),
    ("2025-12-01T09:30:00-05:00", T1430),
    ("2025-12-01T16:30:00+0200", T1430),
    ("2025-12-01T15:30+01", T1430),
    ("2025-12-01T14:30:00.5Z", T1430 + 500_000_000),
    ("2025-12-01T14:30:00.000000001Z", T1430 + 1),
    ("2025-12-01T14:30:00,123456789", T1430 + 123_456_789),
    (dt.date(2025, 12, 1), DAY),
    (dt.datetime(2025, 12, 1, 14, 30), T1430),
    (dt.datetime(2025, 12, 1, 9, 30, tzinfo=dt.timezone(dt.timedelta(hours=-5))), T1430),
    (dt.datetime(2025, 12, 1, 14, 30, 0, 7), T1430 + 7000),
    (pd.Timestamp("2025-12-01 14:30:00.000000003"), T1430 + 3),
    (pd.Timestamp("2025-12-01 15:30", tz="Europe/Paris"), T1430),
    (np.datetime64("2025-12-01T14:30:00.000000009"), T1430 + 9),
    (T1430, T1430),
    (-1, -1),
])
def test_every_time_form_names_the_same_nanosecond(value, ns):
    assert to_ns(value) == ns


@pytest.mark.parametrize("value, error, message", [
    ("2025-12-32", ValueError, "start: '2025-12-32' is not a valid date or time (day is out "
                               "of range for month)"),
    ("12/01/2025", ValueError, "start: '12/01/2025' is not an ISO 8601 date or time (such as "
                               "'2025-12-01', '2025-12-01T14:30:00.5Z' or "
                               "'2025-12-01 09:30-05:00')"),
    ("2025-12-01T14:30:00.1234567891", ValueError, None),
    ("2025-12-01T14:30+24:00", ValueError, "start: '2025-12-01T14:30+24:00' has an offset out "
                                           "of range"),
    ("2263-01-01", ValueError, "start '2263-01-01' is out of range: nanoseconds since 1970 must "
                               "fit a signed 64-bit integer (1677-09-21 to 2262-04-11)"),
    (1 << 63, ValueError, None),
    (True, TypeError, "start must be a date, a time or nanoseconds, not bool"),
    (1.5, TypeError, "start must be an ISO 8601 text, a date, a datetime, a pandas.Timestamp "
                     "or integer nanoseconds, not float"),
])
def test_times_that_are_refused(value, error, message):
    with pytest.raises(error) as got:
        to_ns(value, "start")
    if message is not None:
        assert str(got.value) == message


def test_keywords_make_the_request_the_constructor_makes():
    want = RetrieveParams(["ESZ5", "NQZ5"], "2025-12-01", "2025-12-20", Schema.MBP1,
                          Dataset.FUTURES, Stype.RAW)
    for schema, dataset in [(Schema.MBP1, Dataset.FUTURES), ("mbp-1", "futures"),
                            ("Mbp1", "Futures"), ("MBP1", "FUTURES")]:
        got = as_params(dataset=dataset, schema=schema, symbols=["ESZ5", "NQZ5"],
                        start="2025-12-01", end=dt.date(2025, 12, 20))
        assert got.to_json() == want.to_json()
    assert as_params(dataset="futures", schema="ohlcv-1s", symbols="ESZ5, NQZ5", start=0, end=1,
                     stype_in="continuous").to_json() == (
        '{"symbols":["ESZ5","NQZ5"],"start_ts":0,"end_ts":1,"schema":"Ohlcv1S",'
        '"dataset":"Futures","stype":"Continuous"}')
    assert as_params(want) is want
    assert as_params(want.to_json()).to_json() == want.to_json()


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(dataset="futures", schema="mbp-2", start=0, end=1), ValueError,
     "unknown schema 'mbp-2': expected one of 'Mbp1', 'Ohlcv1S', 'Ohlcv1M', 'Ohlcv1H', "
     "'Ohlcv1D', 'Trades', 'Tbbo', 'Bbo1S', 'Bbo1M'"),
    (dict(dataset="crypto", schema="mbp-1", start=0, end=1), ValueError,
     "unknown dataset 'crypto': expected one of 'Futures', 'Equities', 'Option'"),
    (dict(dataset="futures", schema=1, start=0, end=1), TypeError,
     "schema must be a Schema or its name, not int"),
    (dict(dataset="futures", schema="mbp-1", start=0), TypeError, "a request needs end"),
    (dict(dataset="futures", schema="mbp-1", start=0, end=1, limit=5), TypeError,
     "unexpected keyword 'limit'; a request takes dataset, schema, symbols, start, end, "
     "stype_in"),
    (dict(dataset="futures", schema="mbp-1", symbols=[1], start=0, end=1), TypeError,
     "symbols must be texts, not int"),
])
def test_keywords_that_are_refused(kwargs, error, message):
    with pytest.raises(error) as got:
        as_params(**kwargs)
    assert str(got.value) == message
