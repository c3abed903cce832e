"""Decoders bind the outside components by module path when they load: with test doubles put
under those paths first, every value a component supplies comes from the double."""

import subprocess
import sys
import textwrap

DOUBLES = textwrap.dedent("""
    import sys, types
    import numpy as np

    def module(path, **attrs):
        m = types.ModuleType(path)
        m.__dict__.update(attrs)
        sys.modules[path] = m
        return m

    class Time:
        def obt_to_utc(self, t, to_tt2000=False):
            assert to_tt2000 is True
            return np.asarray(t)[:, 0].astype(np.int64) * 7 + np.asarray(t)[:, 1]

        @staticmethod
        def cuc_to_scet(t):
            return np.asarray(t)[:, 0] * 0.5

    def fill_records(array):
        array.view(np.uint8)[...] = 0x11

    class CDFToFill:
        def __call__(self, name):
            assert name == "int16"
            return np.int16(5)

    class Logger:
        messages = []
        def debug(self, text): self.messages.append(("debug", text))
        def warning(self, text): self.messages.append(("warning", text))

    def print_exception():
        return "double: " + str(sys.exc_info()[1])

    sorted_calls = []
    def sort_data(group, keys):
        sorted_calls.append(len(keys))
        return group, None

    def count_swf(snapshot_nr):
        snapshot_nr = np.asarray(snapshot_nr)
        _, counter = np.unique(snapshot_nr, return_inverse=True)
        return counter.astype(np.uint32) + 100, int(counter.max() + 1) if len(counter) else 0

    def group(pkt_nr):
        pkt_nr = np.asarray(pkt_nr)
        starts = np.concatenate([[True], pkt_nr[1:] <= pkt_nr[:-1]]) if len(pkt_nr) else np.zeros(0, bool)
        g = np.cumsum(starts) - 1
        return g, int(g[-1] + 1) if len(g) else 0

    logger = Logger()
    module("quorel"); module("quorel.time", Time=Time)
    module("tesmo"); module("tesmo.converters")
    module("tesmo.converters.cdf_fill", fill_records=fill_records, CDFToFill=CDFToFill)
    module("vantor"); module("vantor.core"); module("vantor.core.tools")
    module("vantor.core.logger", logger=logger)
    module("vantor.core.tools.exceptions", print_exception=print_exception)
    module("kesta.dravel.tasks.utils", sort_data=sort_data)
    module("kesta.dravel.tasks.tds.utils", count_swf=count_swf, group=group)
""")

SNAPSHOTS = DOUBLES + textwrap.dedent("""
    from kesta.dravel.simulate.snapshots import Snapshot, snapshot_group
    from kesta.dravel.l1.store import l0_store, ListTask
    from kesta.dravel.products import BY_NAME

    tswf = BY_NAME["tswf"]
    snaps = [Snapshot(length=512, time=(1000, 3, 1)),
             Snapshot(length=512, snapshot_nr=2, time=(2000, 0, 0), samples_override={1: 9})]
    store = l0_store({tswf.packet: snapshot_group(snaps, "trig")})
    task = ListTask()
    out = tswf.decode(store, task)
    assert out["epoch"].tolist() == [7003, 14000], out["epoch"]
    assert out["scet"].tolist() == [500.0, 1000.0]
    assert out["quality_flag"].tolist() == [0x11, 0x11]
    assert out["samps_per_ch"][0] == 512 and out["samps_per_ch"][1] == 0x1111111111111111
    assert (out["waveform_data"][1] == 5).all()
    assert task.reports == ["double: Unexpected total number of samples in snapshot #101!"], task.reports
    assert sorted_calls == [3]
    assert logger.messages[0] == ("debug", "Get data for TM_TDS_SCIENCE_ROUTINE_TRIGSNAP")
    print("ok")
""")

OTHER_TDS = DOUBLES + textwrap.dedent("""
    from kesta.dravel.simulate.histmap import Histogram, histmap_group
    from kesta.dravel.simulate.lfm import SpecMat, Spectra, specmat_group, density_group
    from kesta.dravel.l1.store import l0_store, ListTask
    from kesta.dravel.products import BY_NAME

    hist2d, sm, psd = BY_NAME["hist2d"], BY_NAME["lfm_sm"], BY_NAME["lfm_psd"]
    store = l0_store({
        hist2d.packet: histmap_group([Histogram(time=(1000, 3, 1))]),
        sm.packet: specmat_group([SpecMat(time=(2000, 0, 1), nf=2)]),
        psd.packet: density_group([Spectra(time=(3000, 0, 1), nf=2)]),
    })
    for product, coarse, fine in ((hist2d, 1000, 3), (sm, 2000, 0), (psd, 3000, 0)):
        out = product.decode(store, ListTask())
        assert out["epoch"].tolist() == [coarse * 7 + fine], (product.name, out["epoch"])
        assert out["scet"].tolist() == [coarse * 0.5]
        assert out["quality_flag"].tolist() == [0x11] and out["quality_bitmask"].tolist() == [0x1111]
    out = sm.decode(store, ListTask())
    assert (out["cross_re"][0, :, 2:] == 0x11).all()    # beyond the two frequencies: the double's fill
    assert sorted_calls == [2, 2, 2, 2]
    print("ok")
""")

SURVEY = (
    textwrap.dedent("""
    # the packets are made with the stand-ins; the packet reader and receiver helpers stay
    import numpy as np
    from kesta.dravel.simulate.thr_random import random_tnr_survey
    case = random_tnr_survey(np.random.default_rng(3), 3, "normal", bad=1)
""")
    + DOUBLES
    + textwrap.dedent("""
    from kesta.dravel.l1.store import ListTask
    from kesta.dravel.products import BY_NAME

    task = ListTask()
    out = BY_NAME["tnr_normal"].call(case.group, task)
    assert len(out) == len(case.records) and len(task.reports) == 1
    assert task.reports[0].startswith("double: ")
    assert (out["quality_flag"] == 0x11).all()        # left to the fill-value double
    scet = np.array([t[0] * 0.5 for t in out["acquisition_time"]]) + out["delta_time"] / 1e6 \\
        + out["measurement_duration"] / 10000.0 * 0.5
    np.testing.assert_allclose(out["scet"], scet)
    print("ok")
""")
)


def run(script):
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip().endswith("ok"), result.stderr + result.stdout


def test_snapshot_decoder_uses_the_components_bound_by_name():
    run(SNAPSHOTS)


def test_a_missing_component_fails_the_module_load():
    script = textwrap.dedent("""
        import sys, types
        sys.modules["quorel.time"] = types.ModuleType("quorel.time")  # no Time in it
        try:
            import kesta.dravel.tasks.tds.routine_regsnap
        except ImportError as e:
            assert "Time" in str(e), e
            print("ok")
    """)
    run(script)


def test_histogram_and_lfm_decoders_use_the_components_bound_by_name():
    run(OTHER_TDS)


def test_survey_decoder_uses_the_components_bound_by_name():
    run(SURVEY)
