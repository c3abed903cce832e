"""TT2000 epochs in UTC from the CDF library: leap seconds, fill values of either epoch type,
whole nanoseconds, and the UTC days a run of epochs spans."""

import numpy as np

from kesta.dravel.l1 import times
from kesta.dravel.l1.dataset import to_dataset
from kesta.dravel.simulate.snapshots import Snapshot, expected_records

# TT2000 of UTC midnights: TT2000 runs 32.184 s ahead of TAI, TAI 36 s ahead of UTC in 2016, 37 s
# from 2017 (a leap second at the end of 2016-12-31)
MIDNIGHT_2016_12_31 = 536414468184000000
MIDNIGHT_2017_01_01 = 536500869184000000
DAY = 86_400_000_000_000
INT64_FILL = np.iinfo(np.int64).min
UINT64_FILL = np.iinfo(np.uint64).max


def test_times_are_utc_from_the_cdf_library():
    # TT2000 runs 32.184 s ahead of TAI; 37 leap seconds by 2017: 69.184 s ahead of UTC
    tt = np.array([536500869184000000, 599572869184000000], dtype=np.int64)
    got = times.utc(tt)
    assert list(got.astype("datetime64[s]").astype(str)) == ["2017-01-01T00:00:00", "2019-01-01T00:00:00"]
    fills = [np.array([np.iinfo(np.uint64).max], np.uint64), np.array([np.iinfo(np.int64).min], np.int64)]
    assert all(np.isnat(times.utc(f)).all() for f in fills)
    assert times.utc(tt.astype(np.uint64))[1] == got[1]


def test_nanoseconds_survive_and_times_past_datetime64_have_none():
    tt = np.array([MIDNIGHT_2017_01_01 + 999, MIDNIGHT_2017_01_01 + 1_999_999, -999, 9 * 10**18], np.int64)
    got = times.utc(tt)
    assert list(got[:3].astype(str)) == [
        "2017-01-01T00:00:00.000000999",
        "2017-01-01T00:00:00.001999999",
        "2000-01-01T11:58:55.815999001",
    ]
    assert np.isnat(got[3])
    assert times.utc_text(tt[1:]) == "2017-01-01 00:00:00.001 UTC"
    assert times.utc_text(np.array([UINT64_FILL], np.uint64)) == "time unknown"


def test_day_of_one_epoch():
    assert times.day_of(MIDNIGHT_2017_01_01) == "20170101"
    assert times.day_of(MIDNIGHT_2017_01_01 - 1) == "20161231"  # inside the leap second
    assert times.day_of(np.uint64(UINT64_FILL)) is None
    assert times.day_of(np.int64(INT64_FILL)) is None


class TestUtcDays:
    def test_days_of_increasing_epochs_as_index_ranges(self):
        epoch = np.array(
            [
                MIDNIGHT_2016_12_31 + 5,
                MIDNIGHT_2017_01_01 - 1,
                MIDNIGHT_2017_01_01,
                MIDNIGHT_2017_01_01 + DAY - 1,
                MIDNIGHT_2017_01_01 + 3 * DAY + 7,
            ],
            np.int64,
        )
        # the leap second makes 2016-12-31 one second longer: its last nanosecond still belongs to it
        assert times.utc_days(epoch) == [("20161231", 0, 2), ("20170101", 2, 4), ("20170104", 4, 5)]
        assert times.utc_days(epoch.astype(np.uint64)) == times.utc_days(epoch)

    def test_epochs_without_a_time_make_runs_of_their_own(self):
        epoch = np.array([INT64_FILL, INT64_FILL, MIDNIGHT_2017_01_01, MIDNIGHT_2017_01_01 + DAY], np.int64)
        assert times.utc_days(epoch) == [(None, 0, 2), ("20170101", 2, 3), ("20170102", 3, 4)]
        assert times.utc_days(epoch[:2]) == [(None, 0, 2)]
        assert times.utc_days(epoch[:0]) == []

    def test_ranges_cover_every_index_in_order(self):
        rng = np.random.default_rng(3)
        epoch = np.sort(rng.integers(MIDNIGHT_2016_12_31, MIDNIGHT_2017_01_01 + 40 * DAY, 500))
        days = times.utc_days(epoch)
        assert [d[1] for d in days[1:]] == [d[2] for d in days[:-1]] and days[0][1] == 0 and days[-1][2] == 500
        assert len({d[0] for d in days}) == len(days)
        for day, start, stop in days:
            assert {times.day_of(e) for e in epoch[start:stop]} == {day}


def test_dataset_time_coordinate_is_nat_for_a_fill_epoch():
    snaps = [Snapshot(length=512, snapshot_nr=n, time=(5000 + n, 0, 1)) for n in range(3)]
    records, _, _ = expected_records(snaps, "trig")
    assert records["epoch"].dtype == np.uint64
    records["epoch"][1] = UINT64_FILL
    time = to_dataset(records, "tswf")["time"].values
    assert np.isnat(time[1]) and not np.isnat(time[[0, 2]]).any()
    np.testing.assert_array_equal(time, times.utc(records["epoch"]))
