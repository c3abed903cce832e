"""Every day-file format through the same cases: written, known by its contents and its name,
read whole and by slices, its parents, attributes and variable names."""

import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import convert, decode_file
from kesta.dravel.l1.dayrecords import daily_records
from kesta.dravel.l1.layout import flatten
from kesta.dravel.l1.writers import DAY_FORMATS, FORMATS, day_format_of, guess_format, writer_for


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    simulate_file(path, seed=5)
    return path, {p.product: p.data for p in decode_file(path).products if p.data is not None and len(p.data)}


@pytest.mark.parametrize("fmt", DAY_FORMATS)
@pytest.mark.parametrize("product", ["tnr_normal", "tswf"])
def test_a_format_writes_knows_and_reads_its_day_files(decoded, tmp_path, fmt, product):
    from kesta.dravel.l1.days import write_records

    _, records = decoded
    form = FORMATS[fmt]
    paths = sorted(write_records(writer_for(fmt), records[product], product, tmp_path, parents=["L0_a.h5", "L0_b.h5"]))
    assert paths
    want = flatten(daily_records(product, records[product]))
    got, at = {}, 0
    for path in paths:
        assert guess_format(path) is form
        found, parsed = day_format_of(path)
        assert found is form and parsed["product"] == product and parsed["version"] == "01"
        assert form.file_name(product, parsed["date"], "1") == path.rsplit("/", 1)[-1]
        whole_product, whole = form.read(path)
        with form.open(path) as day:
            assert day.product == whole_product == product
            assert set(day.names) == set(want) and form.parents(day) == ["L0_a.h5", "L0_b.h5"]
            assert day.attribute("Logical_source") == ["zelk_l1_" + product]
            assert day.attribute("no such attribute") is None
            assert form.named_today(day, product)
            assert set(day.stored_names()) >= {form.stored_name(product, name) for name in day.names}
            n = day.records
            stored = day.stored_variables()
            time = [v for v in stored.values() if v.time]
            assert len(time) == 1 and time[0].dtype == np.int64
            np.testing.assert_array_equal(day.read_stored(time[0].name), want["Epoch"][at : at + n].view(np.int64))
            attributes = day.global_attributes()
            assert attributes["Logical_source"] == "zelk_l1_" + product and "Generation_date" in attributes
            for name in want:
                v = stored[form.stored_name(product, name)]
                assert day.stored_records(v.name) == n and v.shape == whole[name].shape[1:]
                assert v.time or (v.depend_0 == time[0].name and v.description)
                values = day.read_stored(v.name, 1, n - 1)
                assert values.dtype == v.dtype and len(values) == max(0, n - 2)
            for name in want:  # two slices make the whole
                parts = [day.read(name, 0, n // 2), day.read(name, n // 2, n)]
                np.testing.assert_array_equal(np.concatenate(parts), whole[name])
                got.setdefault(name, []).append(whole[name])
            at += n
    assert at == len(want["Epoch"])
    for name, values in want.items():
        back = np.concatenate(got[name])
        assert back.astype(values.dtype).tobytes() == values.tobytes(), (fmt, name)


def test_files_of_no_day_format_are_known_as_such(decoded, tmp_path):
    l0, _ = decoded
    convert(l0, tmp_path / "L1.h5")
    assert guess_format(tmp_path / "L1.h5") is FORMATS["hdf5"]
    (tmp_path / "x.cdf").write_bytes(b"not a CDF at all")
    assert guess_format(tmp_path / "x.cdf") is None and guess_format(tmp_path / "absent") is None
    assert day_format_of("zelk_l1_tswf_20240301_v01.txt") == (None, None)
    assert day_format_of("zelk_l1_tswf_2024031_v01.cdf") == (None, None)
    assert day_format_of("/a/b/zelk_l1_tswf_sbm2_20240301_v02.nc")[1] == {
        "product": "tswf_sbm2",
        "date": "20240301",
        "version": "02",
    }
