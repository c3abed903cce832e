"""The pycdfpp sketch writes the day file the project writes today: same variables, CDF types,
typed attributes and values, ISTP-clean, uint64 fields and epochs back bit for bit."""
import cdflib
import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import decode_file
from kesta.dravel.l1.cdf import CDFDay, file_name, read_cdf
from kesta.dravel.l1.cdf_pycdfpp_sketch import write_day
from kesta.dravel.l1.dayrecords import daily_records
from kesta.dravel.l1.layout import flatten
from kesta.dravel.l1.times import utc_days

# The file compared with is written through the NASA CDF library bundled with spacepy.
pytestmark = pytest.mark.nasa_cdf

PRODUCTS = ("tswf", "tnr_normal", "hfr_calibration")


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    """{product: (date, the first UTC day of its day records)} of a simulated file."""
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    simulate_file(path, seed=5)
    out = {}
    for result in decode_file(path, list(PRODUCTS)).products:
        records = daily_records(result.product, result.data)
        date, start, stop = next(d for d in utc_days(records["epoch"]) if d[0] is not None)
        out[result.product] = date, records[start:stop]
    return out


def today(day, product, path):
    writer = CDFDay(path, day.dtype, product, path.name, "L0.h5", "01")
    writer.append(day)
    writer.close()


@pytest.mark.parametrize("compression", ["file", "variable", "isal"])
@pytest.mark.parametrize("product", PRODUCTS)
def test_same_file_as_today(days, tmp_path, product, compression):
    date, day = days[product]
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    ours, theirs = tmp_path / "a" / file_name(product, date), tmp_path / "b" / file_name(product, date)
    write_day(day, product, ours, parents="L0.h5", compression=compression)
    today(day, product, theirs)
    a, b = cdflib.CDF(ours), cdflib.CDF(theirs)
    assert a.cdf_info().Compressed == (compression in ("file", "isal"))
    ga, gb = a.globalattsget(), b.globalattsget()
    assert ga.pop("Generation_date") and gb.pop("Generation_date")
    assert ga == gb
    assert a.cdf_info().zVariables == b.cdf_info().zVariables
    for name in b.cdf_info().zVariables:
        qa, qb = a.varinq(name), b.varinq(name)
        assert (qa.Data_Type, qa.Rec_Vary, qa.Dim_Sizes, qa.Num_Elements) == \
               (qb.Data_Type, qb.Rec_Vary, qb.Dim_Sizes, qb.Num_Elements), name
        xa, xb = a.varattsget(name), b.varattsget(name)
        assert sorted(xa) == sorted(xb), name
        for key in xb:
            assert a.attget(key, name).Data_Type == b.attget(key, name).Data_Type, (name, key)
            assert np.array_equal(np.asarray(xa[key]), np.asarray(xb[key])), (name, key)
        assert np.array_equal(a.varget(name), b.varget(name)), name


@pytest.mark.parametrize("product", PRODUCTS)
def test_istp_clean_and_back_bit_for_bit(days, tmp_path, product):
    import spacepy.pycdf as pycdf
    import spacepy.pycdf.istp as istp

    date, day = days[product]
    path = tmp_path / file_name(product, date)
    write_day(day, product, path, parents="L0.h5")
    with pycdf.CDF(str(path)) as f:
        assert istp.FileChecks.all(f, catch=True) == []
        assert f["Epoch"].type() == pycdf.const.CDF_TIME_TT2000.value
    name, back = read_cdf(path)          # the reader of today gives uint64 fields back
    want = flatten(day)
    assert name == product and set(back) == set(want)
    for key, values in want.items():
        assert back[key].astype(values.dtype).tobytes() == values.tobytes(), key
