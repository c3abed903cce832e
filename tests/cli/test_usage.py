"""A command's usage errors are that command's: its usage printed, exit 2, nothing done."""

import argparse

import pytest

from kesta.dravel.cli import build_parser

# what the commands need, so that only the mistyped option is wrong
NEEDED = {
    "simulate": ["-o", "L0.h5"],
    "decode": ["L0.h5", "-o", "L1.h5"],
    "quicklook": ["L1.h5", "-o", "plots"],
    "batch": ["L0/*.h5", "-o", "L1"],
    "archive": ["L0/*.h5", "-o", "AR"],
    "serve": ["AR"],
}
(COMMANDS,) = [a.choices for a in build_parser()._actions if isinstance(a, argparse._SubParsersAction)]


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_an_unknown_option_prints_its_commands_usage(cli, tmp_path, monkeypatch, command):
    monkeypatch.chdir(tmp_path)
    code, out, err = cli(command, *NEEDED.get(command, []), "--verfy")
    assert code == 2 and out == "" and list(tmp_path.iterdir()) == []
    assert err.startswith(f"usage: dravel {command} ")
    assert err.splitlines()[-1] == f"dravel {command}: error: unrecognized arguments: --verfy"
