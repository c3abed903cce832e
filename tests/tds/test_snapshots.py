"""Triggered and regular snapshot waveforms."""

import sys

import numpy as np
import pytest

from kesta.dravel.simulate.snapshots import RSWF, TSWF, Snapshot, expected_records, snapshot_group, snapshot_store
from kesta.dravel.simulate.store import l0_store, write_hdf5
from kesta.dravel.tasks.tds import routine_regsnap, routine_trigsnap

from records_support import assert_same_records

DECODERS = {"trig": routine_trigsnap.set_tswf, "reg": routine_regsnap.set_rswf}
FILL16 = -32768


def decode(kind, snaps, task, is_sbm=False, **kwargs):
    store, expected, reports, warnings = snapshot_store(snaps, kind, is_sbm=is_sbm, **kwargs)
    out = DECODERS[kind](store, task, is_sbm)
    return out, expected, reports, warnings


def last_lines(task):
    return [r.splitlines()[-1] for r in task.reports]


class TestLayouts:
    def test_record_types_are_packed_in_the_documented_order(self):
        assert routine_trigsnap.TSWF == TSWF and routine_regsnap.RSWF == RSWF
        assert TSWF.names[-5:] == (
            "samps_per_ch",
            "channel_status_info",
            "quality_fact",
            "downlink_info",
            "waveform_data",
        )
        assert RSWF.names[-3:] == ("channel_status_info", "samps_per_ch", "waveform_data")
        assert TSWF.itemsize == sum(TSWF.fields[n][0].itemsize for n in TSWF.names)
        assert routine_trigsnap.__all__ == ["TSWF", "set_tswf"]
        assert routine_regsnap.__all__ == ["RSWF", "set_rswf"]

    def test_constants(self):
        for m in (routine_trigsnap, routine_regsnap):
            assert (m.NSAMP_MAX_PER_REC, m.NSAMP_MAX_PER_PKT, m.NCHANNEL) == (65536, 2032, 4)
            assert m.SAMP_PER_SNAPSHOT.dtype == np.uint64
            assert list(m.SAMP_PER_SNAPSHOT) == [2**k for k in range(9, 18)]
            assert m.SAMP_RATE_ENUM["2"] == 262137.5 and 2 not in m.SAMP_RATE_ENUM
            assert m.SAMP_RATE_ENUM["4"] == 2097100.0


class TestPacketSelection:
    @pytest.mark.parametrize(
        "kind,is_sbm,packet",
        [
            ("trig", 0, "TM_TDS_SCIENCE_ROUTINE_TRIGSNAP"),
            ("trig", None, "TM_TDS_SCIENCE_SBM2_TSWF"),
            ("reg", False, "TM_TDS_SCIENCE_ROUTINE_REGSNAP"),
            ("reg", True, "TM_TDS_SCIENCE_SBM1_RSWF"),
        ],
    )
    def test_is_sbm_selects_the_packet_type(self, kind, is_sbm, packet, task, vantor_log):
        group = snapshot_group([Snapshot(length=512)], kind)
        out = DECODERS[kind](l0_store({packet: group}), task, is_sbm=is_sbm)
        assert len(out) == 1
        assert vantor_log.records[0].getMessage() == "Get data for " + packet

    def test_absent_packet_type_is_empty_without_filling(self, task, vantor_log, monkeypatch):
        import tesmo.converters.cdf_fill as cdf_fill

        calls = []
        monkeypatch.setattr(cdf_fill, "fill_records", lambda a: calls.append(a))
        out = routine_regsnap.set_rswf({"TM": {}}, task, True)
        assert out.dtype == RSWF and len(out) == 0 and calls == []
        assert [r.getMessage() for r in vantor_log.records] == ["Get data for TM_TDS_SCIENCE_SBM1_RSWF"]

    def test_present_but_empty_packet_type(self, task, vantor_log):
        group = {k: v[:0] for k, v in snapshot_group([Snapshot(length=512)], "trig").items()}
        out = routine_trigsnap.set_tswf(l0_store({"TM_TDS_SCIENCE_ROUTINE_TRIGSNAP": group}), task)
        assert len(out) == 0 and out.dtype == TSWF
        assert "Number of snapshots: 0" in [r.getMessage() for r in vantor_log.records]


class TestAssembly:
    def test_sixteen_k_snapshot_in_33_packets(self, task):
        out, expected, _, _ = decode("trig", [Snapshot(length=16384)], task)
        assert out["samps_per_ch"][0] == 16384
        assert_same_records(out, expected)
        assert task.reports == []

    def test_last_packet_missing_is_estimated_and_accepted(self, task, vantor_log):
        snap = Snapshot(length=16384, missing=(33,))
        out, expected, _, _ = decode("trig", [snap], task)
        assert out["samps_per_ch"][0] == 16384
        assert (out["waveform_data"][0, :, 16256:16384] == FILL16).all()
        np.testing.assert_array_equal(out["waveform_data"][0, :, :16256], snap.waveform[:, :16256])
        warnings = [r.getMessage() for r in vantor_log.records if r.levelname == "WARNING"]
        assert warnings == ["Packet #33 [33] is missing for snapshot #0!"]
        assert_same_records(out, expected)

    def test_first_packet_missing_shifts_by_the_estimate(self, task):
        snap = Snapshot(length=16384, missing=(1,))
        out, expected, _, _ = decode("trig", [snap], task)
        np.testing.assert_array_equal(out["waveform_data"][0, :, 508:1016], snap.waveform[:, 508:1016])
        assert (out["waveform_data"][0, :, :508] == FILL16).all()
        assert_same_records(out, expected)

    def test_middle_packet_missing_takes_the_previous_count(self, task):
        snap = Snapshot(length=16384, missing=(5,))
        out, expected, _, _ = decode("reg", [snap], task)
        assert (out["waveform_data"][0, :, 4 * 508 : 5 * 508] == FILL16).all()
        np.testing.assert_array_equal(
            out["waveform_data"][0, :, 5 * 508 : 6 * 508], snap.waveform[:, 5 * 508 : 6 * 508]
        )
        assert out["samps_per_ch"][0] == 16384

    def test_inactive_channels_keep_fill(self, task):
        snap = Snapshot(length=2048, channels=(1, 0, 1, 0))
        out, expected, _, _ = decode("trig", [snap], task)
        wave = out["waveform_data"][0]
        assert (wave[1] == FILL16).all() and (wave[3] == FILL16).all()
        np.testing.assert_array_equal(wave[0, :2048], snap.waveform[0])
        np.testing.assert_array_equal(wave[2, :2048], snap.waveform[2])
        assert_same_records(out, expected)

    @pytest.mark.parametrize("kind,label", [("trig", 3), ("reg", 3)])
    def test_rejected_snapshot_keeps_header_and_reports(self, kind, label, task):
        snaps = [Snapshot(length=512, snapshot_nr=10 + s, time=(1000 + 10 * s, 0, 1)) for s in range(3)]
        snaps.append(Snapshot(length=512, snapshot_nr=13, time=(1040, 0, 1), samples_override={1: 500}, pkt_cnt=2))
        out, expected, reports, _ = decode(kind, snaps, task)
        assert last_lines(task) == [f"Exception: Unexpected total number of samples in snapshot #{label}!"]
        assert (out["waveform_data"][3] == FILL16).all()
        assert out["samps_per_ch"][3] == np.iinfo(np.uint64).max
        assert out["snapshot_seq_nr"][3] == 13 and out["sampling_rate"][3] == np.float32(262137.5)
        assert_same_records(out, expected)

    @pytest.mark.parametrize("kind,accepted", [("trig", False), ("reg", True)])
    def test_one_packet_snapshot_with_its_packet_missing(self, kind, accepted, task):
        # One channel, one packet announced (x = 2032 selects 1024) but only a packet numbered 2
        # arrives: expected packet 1 is missing. Triggered snapshots estimate 2032 samples for
        # it (rejected), regular snapshots the snapshot length 1024 (accepted, waveform at fill).
        snap = Snapshot(length=4064, channels=(1, 0, 0, 0), missing=(1,), pkt_cnt=1)
        out, expected, reports, _ = decode(kind, [snap], task)
        assert len(task.reports) == (0 if accepted else 1)
        assert (out["samps_per_ch"][0] == 1024) == accepted
        assert (out["waveform_data"][0] == FILL16).all()
        assert_same_records(out, expected)

    def test_shuffled_store_of_both_kinds_round_trips(self, task):
        rng = np.random.default_rng(7)
        for kind in ("trig", "reg"):
            snaps = [
                Snapshot(
                    length=int(rng.choice([512, 1024, 4096, 8192, 32768, 65536])),
                    channels=[(1, 1, 1, 1), (1, 1, 0, 0), (0, 0, 0, 1), (1, 0, 1, 1)][s % 4],
                    snapshot_nr=s,
                    time=(5000 + 100 * s, s, s % 2),
                    rate_code=s % 5,
                )
                for s in range(12)
            ]
            out, expected, reports, _ = decode(kind, snaps, task, shuffle=True, rng=rng)
            assert_same_records(out, expected)
            assert len(task.reports) == len(reports)
            task.reports.clear()

    def test_hdf5_store_decodes_like_a_dict(self, tmp_path, task):
        import h5py

        snaps = [Snapshot(length=1024, snapshot_nr=1), Snapshot(length=2048, snapshot_nr=2, time=(100_100, 0, 1))]
        group = snapshot_group(snaps, "trig")
        path = tmp_path / "l0.h5"
        write_hdf5(path, {"TM_TDS_SCIENCE_ROUTINE_TRIGSNAP": group})
        with h5py.File(path, "r") as f:
            out = routine_trigsnap.set_tswf(f, task)
        assert_same_records(out, expected_records(snaps, "trig")[0])


class TestDamagedSnapshots:
    def test_duplicate_packets_are_taken_once(self, task, vantor_log):
        snap = Snapshot(length=4096, duplicated=(1, 3))
        out, expected, reports, warnings = decode("trig", [snap], task)
        assert out["samps_per_ch"][0] == 4096 and reports == [] and warnings == []
        np.testing.assert_array_equal(out["waveform_data"][0, :, :4096], snap.waveform)
        assert not [r for r in vantor_log.records if r.levelname == "WARNING"]

    def test_packet_number_zero_is_passed_over(self, task):
        store, expected, _, _ = snapshot_store([Snapshot(length=2048)], "reg")
        group = store["TM"]["TM_TDS_SCIENCE_ROUTINE_REGSNAP"]["source_data"]
        for name, values in list(group.items()):
            group[name] = np.concatenate([values, values[:1]])
        group["PA_TDS_SWF_PKT_NR"][-1] = 0
        out = routine_regsnap.set_rswf(store, task)
        assert_same_records(out, expected)

    def test_samples_past_the_record_are_not_written(self, task):
        # 33 packets announcing 2032 samples each on one channel: 67056 samples in all
        snap = Snapshot(length=65536, channels=(1, 0, 0, 0), samples_override={33: 2032})
        snap.block_width = 2032
        out, expected, reports, _ = decode("trig", [snap], task)
        assert last_lines(task) == [
            "Exception: Total number of samples cannot exceed 65536, but 67056 found in snapshot #0!"
        ]
        assert (out["waveform_data"][0] == FILL16).all()
        assert_same_records(out, expected)

    def test_short_data_block_fails_the_snapshot_once(self, task):
        # packet 1 announces 600 samples for each of 4 channels, its block holds 2032
        snaps = [
            Snapshot(length=2048, samples_override={1: 600}),
            Snapshot(length=512, snapshot_nr=2, time=(100_100, 0, 1)),
        ]
        out, expected, reports, _ = decode("trig", snaps, task)
        assert len(task.reports) == 1
        assert "snapshot #0" in task.reports[0] and "fewer than" in task.reports[0]
        assert (out["waveform_data"][0] == FILL16).all()
        assert out["samps_per_ch"][1] == 512
        assert_same_records(out, expected)

    def test_no_active_channel_fails_at_once(self, task, vantor_log):
        snaps = [Snapshot(length=512, channels=(0, 2, 0, 0))]
        out, expected, _, _ = decode("reg", snaps, task)
        assert len(task.reports) == 1 and "No active channel in snapshot #0" in task.reports[0]
        assert not [r for r in vantor_log.records if r.levelname == "WARNING"]
        assert out["channel_status_info"][0].tolist() == [0, 2, 0, 0]
        assert_same_records(out, expected)

    @pytest.mark.parametrize("kind", ["trig", "reg"])
    def test_negative_estimate_adds_nothing_and_fails(self, kind, task):
        # 7 packets of 508: x = 3556 selects 2048; the last packet's estimate is 2048 - 3048 < 0
        snap = Snapshot(length=7 * 508, missing=(7,))
        out, expected, reports, _ = decode(kind, [snap], task)
        assert last_lines(task) == ["Exception: Unexpected total number of samples in snapshot #0!"]
        assert_same_records(out, expected)

    def test_bad_sampling_rate_code_ends_the_call(self, task):
        store, _, _, _ = snapshot_store([Snapshot(length=512, rate_code=4), Snapshot(length=512, rate_code=4)], "trig")
        store["TM"]["TM_TDS_SCIENCE_ROUTINE_TRIGSNAP"]["source_data"]["PA_TDS_HF_CH_SAMP_RATE"][:] = 5
        with pytest.raises(KeyError, match="PA_TDS_HF_CH_SAMP_RATE"):
            routine_trigsnap.set_tswf(store, task)

    @pytest.mark.parametrize(
        "damage,error,text",
        [
            (lambda g: g.pop("PA_TDS_SWF_PKT_NR"), KeyError, "PA_TDS_SWF_PKT_NR"),
            (
                lambda g: g.__setitem__("PA_TDS_TSWF_DATA_BLK", g["PA_TDS_TSWF_DATA_BLK"][:, 0]),
                ValueError,
                "PA_TDS_TSWF_DATA_BLK",
            ),
            (
                lambda g: g.__setitem__("PA_TDS_SAMPS_PER_CH", g["PA_TDS_SAMPS_PER_CH"][:-1]),
                ValueError,
                "PA_TDS_SAMPS_PER_CH",
            ),
            (
                lambda g: g.__setitem__("PA_TDS_FILTER_COEFS", np.array(["x"] * len(g["PA_TDS_FILTER_COEFS"]))),
                TypeError,
                "PA_TDS_FILTER_COEFS",
            ),
        ],
    )
    def test_malformed_group_raises_naming_the_parameter(self, damage, error, text, task):
        store, _, _, _ = snapshot_store([Snapshot(length=1024)], "trig")
        damage(store["TM"]["TM_TDS_SCIENCE_ROUTINE_TRIGSNAP"]["source_data"])
        with pytest.raises(error, match=text):
            routine_trigsnap.set_tswf(store, task)


def test_reports_are_made_while_the_failure_is_handled(task, monkeypatch):
    import vantor.core.tools.exceptions as exceptions

    seen = []

    def checking_print_exception():
        exc = sys.exc_info()[1]
        seen.append(exc)
        return "report: " + str(exc)

    monkeypatch.setattr(exceptions, "print_exception", checking_print_exception)
    snap = Snapshot(length=512, samples_override={1: 500}, pkt_cnt=2)
    routine_trigsnap.set_tswf(snapshot_store([snap], "trig")[0], task)
    assert len(seen) == 1 and type(seen[0]) is Exception
    assert task.reports == ["report: Unexpected total number of samples in snapshot #0!"]
    assert sys.exc_info() == (None, None, None)
