"""What the commands share: what they print, their progress bars, how a decode run ends, and run
reports; a run that does not end well raises RunFailed."""

from __future__ import annotations

import json
import sys
from typing import Any

from kesta.dravel.l1.attributes import software_version
from kesta.dravel.l1.output import Target, check_writable
from kesta.dravel.l1.results import DecodeResult, shorten

from .errors import RunFailed


class Console:
    """What a command prints: -q keeps errors only."""

    def __init__(self, quiet: bool = False) -> None:
        self.quiet = quiet

    def out(self, *lines: str) -> None:
        if not self.quiet:
            for line in lines:
                print(line)

    def err(self, *lines: str) -> None:
        for line in lines:
            print(line, file=sys.stderr)


def progress_bar(total: int, what: str, unit: str) -> Any:
    """A progress bar of `total` `unit`s on stderr, drawn only when stderr is a terminal."""
    # lazy: tqdm takes 16 ms to import; a bar only when a batch or a campaign runs, not on every
    # command's start-up
    from tqdm import tqdm

    return tqdm(total=total, desc=what, unit=unit, disable=None)


def verdict(result: DecodeResult, strict: bool = False) -> None:
    """Raises RunFailed, saying why, when a decode run did not end well: a product failed, or
    (`strict`) one is partial."""
    if result.failed:
        first = result.failed[0]
        raise RunFailed(
            f"{len(result.failed)} of {len(result.products)} product(s) failed; "
            f"{first.product}: {shorten(first.message)}"
        )
    if strict and result.partial:
        first = result.partial[0]
        raise RunFailed(f"--strict: {len(result.partial)} product(s) partial; {first.product}: {first.summary()}")


def check_report(path: str | None) -> None:
    """Refuses a run report path that could not be written, before any decoding."""
    if path:
        check_writable(path)


def write_report(path: str, results: list[dict[str, Any]]) -> None:
    target = Target(path)
    with target.open(lambda tmp: open(tmp, "w", encoding="utf-8")) as stream:
        json.dump({"dravel": software_version(), "files": results}, stream, indent=1)
    target.commit()
