"""The HAPI server's times: request times in each HAPI form, and the stream's time strings, to
the nanosecond and through a leap second."""

import cdflib
import numpy as np
import pytest

from kesta.dravel.serve.times import TIME_LENGTH, iso, parse


def tt(*parts):
    return int(np.asarray(cdflib.cdfepoch.compute_tt2000(list(parts))).reshape(-1)[0])


@pytest.mark.parametrize(
    "text, parts",
    [
        ("2024-03-01T12:34:56.123456789Z", (2024, 3, 1, 12, 34, 56, 123, 456, 789)),
        ("2024-03-01T12:34:56.1Z", (2024, 3, 1, 12, 34, 56, 100, 0, 0)),
        ("2024-03-01T12:34:56.1234567891234Z", (2024, 3, 1, 12, 34, 56, 123, 456, 789)),
        ("2024-061T12:34Z", (2024, 3, 1, 12, 34, 0, 0, 0, 0)),  # day of year, leap year
        ("2023-060", (2023, 3, 1, 0, 0, 0, 0, 0, 0)),
        ("2024-03Z", (2024, 3, 1, 0, 0, 0, 0, 0, 0)),
        ("2024-03-01T12", (2024, 3, 1, 12, 0, 0, 0, 0, 0)),
        ("2024-02-29T24:00:00Z", (2024, 3, 1, 0, 0, 0, 0, 0, 0)),
        ("2016-12-31T23:59:60.5Z", (2016, 12, 31, 23, 59, 60, 500, 0, 0)),  # a leap second
        ("2015-06-30T23:59:60Z", (2015, 6, 30, 23, 59, 60, 0, 0, 0)),
        # the end of a day is the next day's midnight, after the leap second of a day that has one
        ("2016-12-31T24:00:00Z", (2017, 1, 1, 0, 0, 0, 0, 0, 0)),
        ("2016-366T24:00Z", (2017, 1, 1, 0, 0, 0, 0, 0, 0)),
    ],
)
def test_request_times_in_each_form(text, parts):
    assert parse(text) == tt(*parts)


@pytest.mark.parametrize(
    "text",
    [
        "2024-13-01Z",
        "2023-02-29Z",
        "2023-366Z",
        "2024-03-01T12:60Z",
        "2024-03-01T24:00:01Z",
        "2024-3-1",
        "yesterday",
        "1600-01-01Z",
        "2024-03-01 12:00Z",
        "",
        # a 60th second but on a day without a leap second, or not at 23:59
        "2024-03-01T12:00:60Z",
        "2024-03-01T23:59:60Z",
        "2016-12-31T23:58:60Z",
        # other scripts' digits, spaces or a newline around the time
        "\u0662\u0660\u0662\u0664-03-01Z",
        "2024-03-\uff10\uff11Z",
        " 2024-03-01Z",
        "2024-03-01Z ",
        "2024-03-01Z\n",
        "2024-03-01\n",
    ],
)
def test_what_is_not_a_hapi_time(text):
    assert parse(text) is None


def test_stream_times_to_the_nanosecond_through_a_leap_second():
    start = tt(2016, 12, 31, 23, 59, 59, 0, 0, 0)
    rng = np.random.default_rng(3)
    epochs = np.sort(start + rng.integers(0, 3 * 10**9, size=200))  # 23:59:59 to 00:00:01
    text = iso(epochs)
    assert text.dtype == np.dtype(f"S{TIME_LENGTH}")
    assert [t.decode() for t in text] == [e + "Z" for e in cdflib.cdfepoch.encode_tt2000(epochs)]
    assert any(b"23:59:60." in t for t in text)
    assert [parse(t.decode()) for t in text] == epochs.tolist()
