"""The docs: the generated pages are what the parser, the registry and the tables make now, and
what the pages tell a reader to install and run is what the project pins and CI runs."""

import argparse
import difflib
import importlib.util
import pathlib
import re
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def _generator():
    found = importlib.util.spec_from_file_location("gen_reference", ROOT / "docs" / "gen_reference.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


GEN = _generator()


@pytest.mark.parametrize("page", sorted(GEN.PAGES))
def test_the_committed_generated_pages_are_up_to_date(page):
    committed = (ROOT / "docs" / page).read_text(encoding="utf-8").splitlines()
    made = GEN.PAGES[page]().splitlines()
    diff = list(difflib.unified_diff(committed, made, "committed", "made now", lineterm="", n=1))
    assert not diff, f"docs/{page} is out of date: run python docs/gen_reference.py\n" + "\n".join(diff[:40])


def test_the_command_page_has_every_command_and_option():
    from kesta.dravel.cli import build_parser

    page = GEN.commands_page()
    sub = next(a for a in build_parser()._actions if isinstance(a, argparse._SubParsersAction))
    for name, command in sub.choices.items():
        assert f"## `dravel {name}`" in page
        section = page.split(f"## `dravel {name}`")[1].split("\n## ")[0]
        for action in command._actions:
            for flag in action.option_strings:
                if flag in ("-h", "--help", "-v", "--verbose", "-q", "--quiet", "--log-file"):
                    continue  # said once, for every command
                assert re.search(rf"`{re.escape(flag)}[` ]", section), (name, flag)
            if not action.option_strings:
                assert action.metavar in section.split("**Arguments**")[1], (name, action.dest)


def test_markup_in_help_texts_is_shown_as_written():
    # outside code, <tag> would vanish as HTML and * or _ pair up as emphasis
    assert GEN.text("L0_<YYYYMMDD>.h5 from 'L0/*.h5' or *.cdf") == r"L0\_&lt;YYYYMMDD&gt;.h5 from 'L0/\*.h5' or \*.cdf"
    assert GEN.text("come from `dravel archive <dir>` [here]") == r"come from `dravel archive <dir>` \[here\]"


def test_the_pages_install_the_pinned_docs_tools_and_run_what_ci_runs():
    extra = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]["docs"]
    assert all("==" in requirement for requirement in extra)
    for page in (ROOT / "README.md", ROOT / "docs" / "guide" / "setup.md"):
        lines = [line for line in page.read_text().splitlines() if '"mkdocs==' in line]
        assert lines, page
        for line in lines:
            assert sorted(re.findall(r'"([^"]+)"', line)) == sorted(extra), page
    readme = (ROOT / "README.md").read_text()
    ci = (ROOT / ".ci" / "run").read_text()
    test_command = next(line.strip() for line in readme.splitlines() if "python -m pytest" in line)
    assert test_command in ci
