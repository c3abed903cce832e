"""`dravel describe` names the variables as the day files hold them."""

import numpy as np

from kesta.dravel.l1 import describe as described
from kesta.dravel.products import BY_NAME


def names(product):
    return [line.split()[0] for line in described.describe(product)[2:]]


def test_the_names_listed_are_the_record_variables_of_the_cdf_files(tmp_path):
    import spacepy.pycdf as pycdf

    from kesta.dravel.l1.cdf import write_cdf

    for product in BY_NAME:
        _, records, _ = BY_NAME[product].simulated_case(np.random.default_rng(3))
        (tmp_path / product).mkdir()
        path = write_cdf(records, product, tmp_path / product)[0]
        with pycdf.CDF(str(path)) as f:
            assert names(product) == [v for v in f if f[v].rv()], product


def test_the_variables_follow_the_layout_of_the_day_records(monkeypatch, capsys):
    from kesta.dravel.cli import main

    def day_dtype(product):
        own = BY_NAME[product].record_dtype()
        return np.dtype(own.descr + [("spin_phase", "<f4")])

    monkeypatch.setattr(described, "day_dtype", day_dtype)
    assert names("tswf")[-1] == "tswf_spin_phase"
    assert main(["describe", "tswf"]) == 0
    assert "tswf_spin_phase " in capsys.readouterr().out
    # the product reference's tables name the fields
    assert "| `spin_phase` | float32 |" in "\n".join(described.markdown(["tswf"]))
