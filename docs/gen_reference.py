"""Writes the generated pages of the docs: the command reference, from the `dravel` parser
(`kesta/dravel/cli/`), and the product reference, from the product registry
(`kesta/dravel/products.py`) and the L1 metadata tables (`kesta/dravel/l1/metadata.py`).

    python docs/gen_reference.py            # rewrite the pages
    python docs/gen_reference.py --check    # exit 1 naming each page that is not what it makes

Run it where the package and its decoders are installed (`dravel describe` works): the record
layouts come from the installed decoders and the pipeline's helpers. tests/test_docs.py fails
when a committed page differs from what this script makes.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys

DOCS = pathlib.Path(__file__).resolve().parent
GENERATED = "<!-- Made by docs/gen_reference.py: edit the parser, the registry or the tables, then run it. -->"


# ---- Markdown text


def text(plain):
    """`plain` as Markdown shows it: what stands between backticks stays code, the rest has
    the characters Markdown would take as markup (`<tag>`, `*`, `_`, `[`) escaped."""
    parts = plain.split("`")
    for i in range(0, len(parts), 2):
        part = parts[i].replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        parts[i] = re.sub(r"([\\*_\[\]])", r"\\\1", part)
    return "`".join(parts)


# ---- the command reference


def _help(action, prog):
    """An action's help with argparse's own %(...)s expanded."""
    if not action.help:
        return ""
    values = dict(vars(action), prog=prog)
    return action.help % values if "%" in action.help else action.help


def _metavar(action):
    if action.nargs == 0:
        return ""
    if action.metavar is not None:
        name = action.metavar
    elif action.choices:
        name = "{" + ",".join(map(str, action.choices)) + "}"
    else:
        name = action.dest if not action.option_strings else action.dest.upper()
    if action.nargs == "+":
        return f"{name} [{name} ...]"
    if action.nargs == "*":
        return f"[{name} ...]"
    if action.nargs == "?":
        return f"[{name}]"
    return name


def _usage(parser):
    """The command's synopsis: its arguments and required options, then [options]."""
    words = [parser.prog]
    for action in parser._actions:
        if not action.option_strings and not isinstance(action, argparse._SubParsersAction):
            words.append(_metavar(action))
        elif action.required and action.option_strings:
            words.append(f"{action.option_strings[0]} {_metavar(action)}".strip())
    words.append("[options]")
    if any(isinstance(a, argparse._SubParsersAction) for a in parser._actions):
        words.append("COMMAND ...")
    return " ".join(words)


def _exclusive(parser):
    """{action: the options it cannot be given with}."""
    out = {}
    for group in parser._mutually_exclusive_groups:
        for action in group._group_actions:
            out[action] = [a.option_strings[-1] for a in group._group_actions if a is not action]
    return out


def _option(action, prog, exclusive):
    if action.option_strings:
        flags = list(action.option_strings)
        flags[-1] = f"{flags[-1]} {_metavar(action)}".strip()
    else:
        flags = [_metavar(action)]
    head = ", ".join(f"`{flag}`" for flag in flags)
    notes = []
    if action.required and action.option_strings:
        notes.append("required")
    if action in exclusive:
        notes.append("not with " + ", ".join(f"`{o}`" for o in exclusive[action]))
    note = f" ({'; '.join(notes)})" if notes else ""
    return f"- {head}{note}: {text(_help(action, prog))}"


def _common_helps(parser):
    """{dest: help} of the top level's options that every command takes too."""
    return {a.dest: a.help for a in parser._actions if a.option_strings and a.dest not in ("help", "version")}


def _options_section(parser, common):
    """The argument and option lines of one parser, the common options left out where their
    help is the top level's."""
    exclusive = _exclusive(parser)
    arguments, options = [], []
    for action in parser._actions:
        if isinstance(action, (argparse._HelpAction, argparse._SubParsersAction)):
            continue
        if common is not None and common.get(action.dest, None) == action.help:
            continue
        (options if action.option_strings else arguments).append(_option(action, parser.prog, exclusive))
    lines = []
    if arguments:
        lines += ["**Arguments**", ""] + arguments + [""]
    if options:
        lines += ["**Options**", ""] + options + [""]
    return lines


def commands_page():
    from kesta.dravel.cli import build_parser

    parser = build_parser()
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    common = _common_helps(parser)
    lines = [
        GENERATED,
        "",
        "# Command reference",
        "",
        text(parser.description),
        "",
        "`python -m kesta.dravel ...` works the same way as `dravel ...`. Every command takes "
        "`-h` / `--help`, and the options of `dravel` itself (`-v`, `-q`, `--log-file`) before or "
        "after its name (given after it, they win). Examples of each command are in the "
        "[user guide](../guide/decoding.md).",
        "",
        "| Command | What it does |",
        "|---|---|",
    ]
    lines += [f"| [`{c.dest}`](#dravel-{c.dest}) | {text(c.help)} |" for c in sub._choices_actions]
    lines += ["", "## `dravel` {#dravel}", "", "```text", _usage(parser), "```", ""]
    lines += _options_section(parser, None)
    lines += [text(parser.epilog), ""]
    for name, command in sub.choices.items():
        lines += [
            f"## `dravel {name}` {{#dravel-{name}}}",
            "",
            "```text",
            _usage(command),
            "```",
            "",
            text(command.description),
            "",
        ]
        lines += _options_section(command, common)
    return "\n".join(lines).rstrip() + "\n"


# ---- the product reference

PRODUCTS_INTRO = """\
# Product reference

One section per product of the registry (`PRODUCTS` in `kesta/dravel/products.py`): the
decoder that makes it, what the decoder is handed and what it does with a unit it reports,
and the variables of the product's day files (CDF, netCDF, and what the HAPI server serves),
from its metadata table (`kesta/dravel/l1/metadata.py`) and the layout of its day records (see
[Day records](formats.md#day-records)). `dravel describe PRODUCT` prints the same variables for
the installed pipeline, named as the CDF files and the HAPI server name them;
`dravel describe --markdown` prints these sections.

The tables name each variable by its record field, as the records, `to_dataset`, `read_cdf`
and netCDF files do; CDF files and the HAPI server name it `<product>_<field>` (`Epoch` as it
is). *Kind* is the ISTP `VAR_TYPE`, and for data how it is drawn (`DISPLAY_TYPE`). Fill values
come from the pipeline's fill-value component (`CDFToFill`), as the stand-ins give them here:
unsigned integers their maximum, signed integers their minimum, floats -1e31.
"""


def products_page():
    from kesta.dravel.l1 import describe
    from kesta.dravel.products import PRODUCTS

    decoders = {}
    for p in PRODUCTS:
        decoders.setdefault((p.module, p.entry), []).append(p)
    # the variable tables are wide: the page gives them the table of contents' room (the
    # products are linked from the table at the top)
    lines = [
        "---",
        "hide:",
        "  - toc",
        "---",
        GENERATED,
        "",
        PRODUCTS_INTRO,
        "| Decoder module | Entry point | Products |",
        "|---|---|---|",
    ]
    for (module, entry), products in decoders.items():
        names = ", ".join(f"[`{p.name}`](#{p.name})" for p in products)
        lines.append(f"| `{module}` | `{entry}` | {names} |")
    lines.append("")
    lines += describe.markdown([p.name for p in PRODUCTS])
    return "\n".join(lines).rstrip() + "\n"


PAGES = {"reference/commands.md": commands_page, "reference/products.md": products_page}


def stale():
    """The pages whose committed text differs from what they are made of now."""
    return [
        page
        for page, make in PAGES.items()
        if not (DOCS / page).is_file() or (DOCS / page).read_text(encoding="utf-8") != make()
    ]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write the generated pages of the docs.")
    parser.add_argument(
        "--check", action="store_true", help="write nothing; exit 1 when a committed page is out of date"
    )
    if parser.parse_args(argv).check:
        pages = stale()
        for page in pages:
            print(f"docs/{page} is out of date: run python docs/gen_reference.py", file=sys.stderr)
        return 1 if pages else 0
    for page, make in PAGES.items():
        (DOCS / page).write_text(make(), encoding="utf-8")
        print(f"wrote docs/{page}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
