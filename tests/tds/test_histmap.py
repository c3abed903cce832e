"""TDS 2-D histograms."""

import numpy as np
import pytest

from kesta.dravel.simulate.histmap import HIST2D, PACKET, Histogram, expected_records, histmap_group, histmap_store
from kesta.dravel.simulate.store import l0_store, write_hdf5
from kesta.dravel.tasks.tds import routine_histmap

from records_support import assert_same_records

FILL16 = 0xFFFF


def decode(hists, task, **kwargs):
    store, expected = histmap_store(hists, **kwargs)
    return routine_histmap.set_hist2d(store, task), expected


def flat(hist):
    return hist.matrix().reshape(-1)


def source(store):
    return store["TM"][PACKET]["source_data"]


def store_of(hists, **kwargs):
    """A store alone, for histograms whose decoding fails or for doubles of the grouping."""
    return l0_store({PACKET: histmap_group(hists, **kwargs)})


class TestModule:
    def test_layout_constants_and_exports(self):
        assert routine_histmap.HIST2D == HIST2D
        assert HIST2D.itemsize == sum(HIST2D.fields[n][0].itemsize for n in HIST2D.names)
        assert len(HIST2D.names) == 21 and HIST2D.names[-1] == "hist2d_counts"
        assert routine_histmap.SAMPLING_RATE_HZ == [65534.375, 131068.75, 262137.5, 524275.0, 2097100.0]
        assert routine_histmap.__all__ == ["HIST2D", "set_hist2d"]

    def test_absent_packet_type_is_empty_without_filling(self, task, debug_lines, monkeypatch):
        import tesmo.converters.cdf_fill as cdf_fill

        calls = []
        monkeypatch.setattr(cdf_fill, "fill_records", calls.append)
        out = routine_histmap.set_hist2d(l0=l0_store({"TM_OTHER": {}}), task=task)
        assert out.dtype == HIST2D and len(out) == 0 and calls == []
        assert debug_lines() == ["Get data for " + PACKET]

    def test_present_but_empty_packet_type(self, task):
        group = {k: v[:0] for k, v in histmap_group([Histogram()]).items()}
        out = routine_histmap.set_hist2d(l0_store({PACKET: group}), task)
        assert out.dtype == HIST2D and len(out) == 0


class TestReassembly:
    def test_shuffled_histograms_of_many_shapes_round_trip(self, task):
        rng = np.random.default_rng(5)
        hists = [
            Histogram(
                nx=nx,
                ny=ny,
                chunk=chunk,
                time=(9000 + 50 * h, 7 * h, h % 2),
                rate_code=h % 5,
                hist_id=h,
                snapshot_len=h + 1,
                channels=(h % 2, 1, 0, 1),
            )
            for h, (nx, ny, chunk) in enumerate(
                [(128, 128, 2000), (1, 1, None), (4, 3, 5), (100, 37, 999), (128, 1, 64), (17, 128, 2176), (0, 9, None)]
            )
        ]
        out, expected = decode(hists, task, rng=rng, shuffle=True)
        assert_same_records(out, expected)
        assert list(out["hist2d_id"]) == list(range(len(hists)))  # time order, not store order
        assert not task.reports

    def test_hdf5_store_decodes_like_a_dict(self, tmp_path, task):
        import h5py

        hists = [Histogram(nx=40, ny=30, chunk=500), Histogram(nx=8, ny=8, time=(300_010, 0, 1))]
        path = tmp_path / "l0.h5"
        write_hdf5(path, {PACKET: histmap_group(hists)})
        with h5py.File(path, "r") as f:
            out = routine_histmap.set_hist2d(f, task)
        assert_same_records(out, expected_records(hists))

    def test_single_packet_histogram(self, task, debug_lines):
        hist = Histogram(nx=10, ny=12)
        out, _ = decode([hist], task)
        assert "Data space from packet number 0 is 0" in debug_lines()
        np.testing.assert_array_equal(out["hist2d_counts"][0, :10, :12], hist.matrix())

    @pytest.mark.parametrize("nx,ny,chunk,offsets", [(20, 30, 400, (0, 400)), (25, 40, 400, (0, 400, 800))])
    def test_chunks_land_at_packet_number_times_data_space(self, nx, ny, chunk, offsets, task, debug_lines):
        hist = Histogram(nx=nx, ny=ny, chunk=chunk)
        out, expected = decode([hist], task)
        assert_same_records(out, expected)
        lines = debug_lines()
        assert f"Data space from packet number 0 is {chunk}" in lines
        for k in range(len(offsets)):
            assert f"Packet index in snapshot: {k} for packet {k} & chunk {chunk}" in lines
        assert len(hist.cut()) == len(offsets)
        np.testing.assert_array_equal(out["hist2d_counts"][0, :nx, :ny].reshape(-1), flat(hist))

    def test_cell_layout_and_fill_outside_the_block(self, task):
        hist = Histogram(nx=4, ny=3, counts=np.arange(12, dtype=np.uint16).reshape(4, 3))
        counts = decode([hist], task)[0]["hist2d_counts"][0]
        assert counts[1, 2] == 5
        assert (counts[:4, 3:] == FILL16).all() and (counts[4:, :] == FILL16).all()

    def test_each_record_takes_its_header_from_its_own_first_packet(self, task):
        a = Histogram(nx=16, ny=16, chunk=100, snapshot_len=1, rate_code=0, bia=(1, 2, 3, 4, 5, 6), hist_id=1)
        b = Histogram(
            nx=9,
            ny=20,
            chunk=50,
            snapshot_len=7,
            rate_code=4,
            time=(300_100, 3, 0),
            hist_id=2,
            input_config=77,
            col_time=9,
            tot_pts=11,
            axis1=6,
            axis2=8,
            params=1,
        )
        out, expected = decode([a, b], task)
        assert_same_records(out, expected)
        assert list(out["snapshot_len"]) == [1, 7] and list(out["hist2d_bins1"]) == [16, 9]
        assert out["sampling_rate"][1] == np.float32(2097100.0) and out["survey_mode"].tolist() == [3, 3]
        assert out["bia_status_info"][0].tolist() == [1, 2, 3, 4, 5, 6]
        assert tuple(out["acquisition_time"][1]) == (300_100, 3) and out["synchro_flag"][1] == 0

    def test_debug_texts_in_order(self, task, debug_lines):
        a = Histogram(nx=10, ny=10, chunk=60)
        b = Histogram(nx=2, ny=3, time=(300_100, 0, 1))
        decode([a, b], task)
        assert debug_lines() == [
            "Get data for " + PACKET,
            "Matrix size for packet 0 is 100",
            "Data space from packet number 0 is 60",
            "Packet index in snapshot: 0 for packet 0 & chunk 60",
            "Packet index in snapshot: 1 for packet 1 & chunk 60",
            "Matrix size for packet 2 is 6",
            "Data space from packet number 2 is 0",
            "Packet index in snapshot: 0 for packet 2 & chunk 0",
        ]

    def test_debug_texts_only_for_a_logger_that_keeps_them(self, task, monkeypatch):
        import vantor.core.logger as vantor_logger

        class Plain:  # no isEnabledFor: every text, as a bare logger gets them
            def __init__(self):
                self.lines = []

            def debug(self, text):
                self.lines.append(text)

        class Dropping(Plain):  # says debug records are dropped
            def isEnabledFor(self, level):
                assert level == 10
                return False

        hists = [Histogram(nx=10, ny=10, chunk=60)]
        for logger, lines in [(Plain(), 5), (Dropping(), 1)]:
            monkeypatch.setattr(vantor_logger, "logger", logger)
            out, expected = decode(hists, task)
            assert_same_records(out, expected)
            assert len(logger.lines) == lines and logger.lines[0] == "Get data for " + PACKET

    def test_one_time_conversion_per_histogram_from_its_first_packet(self, task, recording_time):
        store, _ = histmap_store([Histogram(chunk=40), Histogram(time=(300_200, 9, 1))])
        # before the on-board epoch: stored modulo 2^64
        calls = recording_time(utc=np.array([-5]), scet=np.array([1.5]))
        out = routine_histmap.set_hist2d(store, task)
        assert calls == [
            ("obt_to_utc", [[300_000, 0]], True),
            ("cuc_to_scet", [[300_000, 0]]),
            ("obt_to_utc", [[300_200, 9]], True),
            ("cuc_to_scet", [[300_200, 9]]),
        ]
        assert out["epoch"].tolist() == [2**64 - 5] * 2 and out["scet"].tolist() == [1.5, 1.5]


class TestIncompleteHistograms:
    def test_only_the_final_of_four_packets(self, task, debug_lines):
        # 1000 counts in chunks of 300: the final chunk holds 100 and lands at 900.
        hist = Histogram(nx=25, ny=40, chunk=300, order=(4,))
        out, expected = decode([hist], task)
        assert_same_records(out, expected)
        assert "Data space from packet number 0 is 300" in debug_lines()
        cells = out["hist2d_counts"][0, :25, :40].reshape(-1)
        np.testing.assert_array_equal(cells[900:], flat(hist)[900:])
        assert (cells[:900] == 0).all()

    def test_final_chunk_first_of_a_one_packet_count(self, task, debug_lines):
        # The final chunk announces a count of 1: no other chunk shares a length.
        hist = Histogram(nx=5, ny=5, chunk=10, order=(1,), pkt_cnt=1, data_nr={1: 10})
        out, expected = decode([hist], task)
        assert_same_records(out, expected)
        assert "Data space from packet number 0 is 0" in debug_lines()

    def test_missing_final_chunk_keeps_counts_at_fill(self, task):
        hist = Histogram(nx=30, ny=30, chunk=400, order=(1, 2))
        out, expected = decode([hist], task)
        assert_same_records(out, expected)
        assert out["hist2d_bins1"][0] == 30 and (out["hist2d_counts"][0] == FILL16).all()

    def test_missing_middle_chunk_leaves_zeros(self, task):
        hist = Histogram(nx=30, ny=30, chunk=400, order=(1, 3))
        cells = decode([hist], task)[0]["hist2d_counts"][0, :30, :30].reshape(-1)
        assert (cells[400:800] == 0).all()
        np.testing.assert_array_equal(cells[800:], flat(hist)[800:])

    @pytest.mark.parametrize("nx,order", [(30, (1, 3, 2)), (40, (1, 4, 2, 3)), (40, (2, 4, 3))])
    def test_chunks_after_the_final_one_still_reach_the_counts(self, nx, order, task):
        hist = Histogram(nx=nx, ny=100, chunk=1000, order=order)
        out, expected = decode([hist], task)
        assert_same_records(out, expected)
        cells = out["hist2d_counts"][0, :nx, :100].reshape(-1)
        for number in order:
            start = (number - 1) * 1000
            np.testing.assert_array_equal(cells[start : start + 1000], flat(hist)[start : start + 1000])

    def test_histogram_after_an_incomplete_one_starts_clean(self, task):
        a = Histogram(nx=20, ny=20, chunk=100, order=(1, 2, 3))
        b = Histogram(nx=20, ny=20, chunk=100, time=(300_100, 0, 1), hist_id=9)
        out, expected = decode([a, b], task)
        assert_same_records(out, expected)
        assert (out["hist2d_counts"][0] == FILL16).all()
        np.testing.assert_array_equal(out["hist2d_counts"][1, :20, :20], b.matrix())


class TestBadInput:
    @staticmethod
    def damaged(hists, damage):
        store, _ = histmap_store(hists)
        damage(source(store))
        return store

    @pytest.mark.parametrize("code,accepted", [(4, True), (5, False), (255, False)])
    def test_sampling_rate_code(self, code, accepted, task):
        store = self.damaged([Histogram()], lambda g: g["PA_TDS_STAT_SAMP_RATE"].__setitem__(0, code))
        if accepted:
            assert routine_histmap.set_hist2d(store, task)["sampling_rate"][0] == np.float32(2097100.0)
        else:
            with pytest.raises(IndexError, match=r"PA_TDS_STAT_SAMP_RATE of packet 0 \(histogram 0\) is " + str(code)):
                routine_histmap.set_hist2d(store, task)

    def test_packet_number_zero_ends_the_call(self, task):
        hist = Histogram(nx=20, ny=20, chunk=100)
        # A leading 0 still starts a record of its own under the grouping.
        store = self.damaged([hist], lambda g: g["PA_TDS_HIST2D_PKT_NR"].__setitem__(2, 0))
        with pytest.raises(ValueError, match=r"PA_TDS_HIST2D_PKT_NR of packet 2 \(histogram 0\) is 0"):
            routine_histmap.set_hist2d(store, task)

    @pytest.mark.parametrize(
        "damage,error,text",
        [
            # chunk 4 of a 400-count matrix in chunks of 100 would start at 400
            (
                lambda g: g["PA_TDS_HIST2D_PKT_NR"].__setitem__(3, 5),
                IndexError,
                r"chunk 4 of histogram 0 .*reaches past",
            ),
            # a far packet number: the start position must not wrap around
            (
                lambda g: g.__setitem__("PA_TDS_HIST2D_PKT_NR", np.array([1, 2, 3, 2**62], dtype=np.int64)),
                IndexError,
                "reaches past",
            ),
            (lambda g: g["PA_TDS_SC_HIST2D_DATA_NR"].__setitem__(3, 101), IndexError, r"packet 3: .*DATA_NR 101"),
            (
                lambda g: g["PA_TDS_SC_HIST2D_DATA_NR"].__setitem__(1, 101),
                ValueError,
                r"PA_TDS_SC_HIST2D_DATA of packet 1 \(histogram 0\) holds 100 counts, fewer than the 101",
            ),
            (
                lambda g: g.__setitem__("PA_TDS_SC_HIST2D_DATA", g["PA_TDS_SC_HIST2D_DATA"][:, :99]),
                ValueError,
                r"PA_TDS_SC_HIST2D_DATA of packet 0 \(histogram 0\) holds 99 counts",
            ),
            (
                lambda g: g.__setitem__("PA_TDS_SC_HIST2D_DATA_NR", np.array([100, 70000, 100, 100], dtype=np.uint32)),
                ValueError,
                r"DATA_NR of packet 1 \(histogram 0\) is 70000",
            ),
            (
                lambda g: g.__setitem__("PA_TDS_SC_HIST2D_DATA_NR", np.array([-1, 100, 100, 100], dtype=np.int32)),
                ValueError,
                r"histogram 0 \(PA_TDS_SC_HIST2D_DATA_NR of packet 0\) is -1",
            ),
            (lambda g: g.pop("PA_TDS_SC_HIST2D_COLL_TIME"), KeyError, "PA_TDS_SC_HIST2D_COLL_TIME"),
            (
                lambda g: g.__setitem__("PA_TDS_SC_HIST2D_ID", g["PA_TDS_SC_HIST2D_ID"][:2]),
                ValueError,
                "PA_TDS_SC_HIST2D_ID",
            ),
            (
                lambda g: g.__setitem__("PA_TDS_SC_HIST2D_DATA", g["PA_TDS_SC_HIST2D_DATA"][:, 0]),
                ValueError,
                "PA_TDS_SC_HIST2D_DATA must have 2 axis",
            ),
        ],
    )
    def test_malformed_chunks_end_the_call_naming_parameter_and_packet(self, damage, error, text, task):
        store = self.damaged([Histogram(nx=20, ny=20, chunk=100)], damage)
        with pytest.raises(error, match=text):
            routine_histmap.set_hist2d(store, task)

    def test_final_chunk_larger_than_the_matrix_ends_the_call(self, task):
        store = store_of([Histogram(nx=10, ny=10, chunk=40, order=(3,), data_nr={3: 101})])
        with pytest.raises(ValueError, match=r"DATA_NR of packet 0 \(histogram 0\) is 101, more than the 100 counts"):
            routine_histmap.set_hist2d(store, task)

    @pytest.mark.parametrize("nx,ny", [(129, 2), (2, 200)])
    def test_bins_beyond_the_count_matrix(self, nx, ny, task):
        with pytest.raises(ValueError, match=rf"histogram 0 has {nx} x {ny} bins"):
            routine_histmap.set_hist2d(store_of([Histogram(nx=nx, ny=ny, chunk=100)]), task)
        # Without its final chunk the histogram never reaches the count matrix.
        out, expected = decode([Histogram(nx=nx, ny=ny, chunk=100, order=(1, 2))], task)
        assert_same_records(out, expected)

    @pytest.mark.parametrize(
        "result,error,text",
        [
            ((np.array([0, 0, 0, 5], dtype=np.uint64), 2), IndexError, "packet 3 into record 5"),
            ((np.array([0, 0, 0, -1]), 1), IndexError, "packet 3 into record"),
            ((np.zeros(4, dtype=np.uint64), -1), ValueError, "record count -1 is not a count"),
            ((np.zeros(4, dtype=np.uint64), 2**62), MemoryError, "memory"),
            ((np.zeros(3, dtype=np.uint64), 1), ValueError, "groups has 3 packets, expected 4"),
            ("nonsense", TypeError, "not a pair"),
        ],
    )
    def test_grouping_results_are_checked(self, result, error, text, task, monkeypatch):
        import kesta.dravel.tasks.tds.utils as utils

        store = store_of([Histogram(nx=20, ny=20, chunk=100)])
        monkeypatch.setattr(utils, "group", lambda pkt_nr: result)
        with pytest.raises(error, match=text):
            routine_histmap.set_hist2d(store, task)

    def test_record_count_beyond_the_indices_used_keeps_unused_records_at_fill(self, task, monkeypatch):
        import tesmo.converters.cdf_fill as cdf_fill

        import kesta.dravel.tasks.tds.utils as utils

        hists = [Histogram(nx=20, ny=20, chunk=100), Histogram(nx=4, ny=3, time=(300_100, 0, 1))]
        store, expected = histmap_store(hists)
        real = utils.group
        # Records 1 and 3 of 5: a conforming grouping that leaves indices unused.
        monkeypatch.setattr(utils, "group", lambda pkt_nr: (2 * np.asarray(real(pkt_nr)[0]) + 1, 5))
        out = routine_histmap.set_hist2d(store, task)
        fill = np.zeros(1, dtype=HIST2D)
        cdf_fill.fill_records(fill)
        assert len(out) == 5
        assert_same_records(out[[1, 3]], expected)
        assert out[[0, 2, 4]].tobytes() == np.repeat(fill, 3).tobytes()

    def test_grouping_gets_the_packet_numbers_in_time_order(self, task, monkeypatch):
        import kesta.dravel.tasks.tds.utils as utils

        seen = []
        real = utils.group
        store = store_of([Histogram(nx=20, ny=20, chunk=100, order=(1, 3, 2, 4))], shuffle=True)
        monkeypatch.setattr(utils, "group", lambda pkt_nr: seen.append(np.asarray(pkt_nr).copy()) or real(pkt_nr))
        routine_histmap.set_hist2d(store, task)
        assert [s.tolist() for s in seen] == [[1, 3, 2, 4]]
