"""A command's usage errors are that command's: its usage printed, exit 2, nothing done."""
import argparse

import pytest

from kesta.dravel.cli import build_parser

# the arguments each command needs, so that only the mistyped option is wrong
NEEDED = {"simulate": ["-o", "L0.h5"], "decode": ["L0.h5", "-o", "L1.h5"], "quicklook": ["L1.h5", "-o", "plots"],
          "describe": [], "demo": [], "batch": ["L0/*.h5", "-o", "L1"], "archive": ["L0/*.h5", "-o", "AR"],
          "serve": ["AR"]}


def commands():
    (sub,) = [a for a in build_parser()._actions if isinstance(a, argparse._SubParsersAction)]
    return sorted(sub.choices)


def test_every_command_is_tried():
    assert commands() == sorted(NEEDED)


@pytest.mark.parametrize("command", sorted(NEEDED))
@pytest.mark.parametrize("where", ["last", "first"])
def test_an_unknown_option_prints_its_commands_usage(cli, tmp_path, monkeypatch, command, where):
    monkeypatch.chdir(tmp_path)
    args = [*NEEDED[command], "--verfy"] if where == "last" else ["--verfy", *NEEDED[command]]
    code, out, err = cli(command, *args)
    assert code == 2 and out == ""
    assert err.startswith(f"usage: dravel {command} ") and "COMMAND ..." not in err
    assert err.splitlines()[-1] == f"dravel {command}: error: unrecognized arguments: --verfy"
    assert list(tmp_path.iterdir()) == []
