"""The command line without its extra: one line saying what to install, exit 2."""

from importlib import metadata

from kesta.dravel.cli import missing_requirements


def test_missing_extra_is_one_line_naming_it(cli, monkeypatch):
    real_requires = metadata.requires

    def requires(name):
        if name == "kesta-dravel":
            return [
                "numpy>=1.24",
                'no-such-dist-for-dravel>=1; extra == "cli"',
                'another-missing-dist; extra == "test"',
                'numpy; extra == "cli"',
            ]
        return real_requires(name)

    monkeypatch.setattr(metadata, "requires", requires)
    code, out, err = cli("simulate", "-o", "never-written.h5")
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and "Traceback" not in err
    assert "'cli' extra" in err and "no-such-dist-for-dravel" in err
    assert "another-missing-dist" not in err and "numpy" not in err.split("missing:")[1]
    assert "pip install 'kesta-dravel[cli]'" in err


def test_installed_extra_or_source_tree_runs(monkeypatch):
    def not_installed(name):
        raise metadata.PackageNotFoundError(name)

    monkeypatch.setattr(metadata, "requires", not_installed)
    assert missing_requirements() == []
