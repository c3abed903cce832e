"""What the archive holds, as the HAPI server sees it: its day files, found on disk, and its
datasets, one per product and data version.

A day file is ARCHIVE/<product>/<YYYY>/<MM>/zelk_l1_<product>_<YYYYMMDD>_v<NN>.<cdf|nc>. The
folders are listed anew for each request (an archive being updated shows its new days at once);
only names that match the pattern, in folders whose names match theirs, are day files. No name
from a request is ever joined to a path: a request names a dataset id, which is looked up among
the datasets found here.

What a response depends on was last changed (its Last-Modified) when the newest of these was:
the archive's folder and mission attributes file, the folders of the products it reads (a day
file written, replaced or removed changes its month folder: the archive writes under a
temporary name and renames), and the day files it reads.

Dataset ids: `<product>` is the newest data version of each day; `<product>_v<NN>` is version NN
alone, listed in the catalog when the product has more than one version.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal, cast

from kesta.dravel.archive.mission import CONFIG_FILE
from kesta.dravel.l1.writers import day_format_of

# The formats of day files (`l1.writers.DAY_FORMATS`), by name
DayKind = Literal["cdf", "netcdf"]

_PRODUCT = re.compile(r"^[a-z0-9_]+\Z", re.ASCII)
_YEAR = re.compile(r"^\d{4}\Z", re.ASCII)
_MONTH = re.compile(r"^\d{2}\Z", re.ASCII)
_VERSIONED = re.compile(r"^(?P<product>[a-z0-9_]+)_v(?P<version>\d{2})\Z", re.ASCII)


@dataclass(frozen=True)
class DayFile:
    path: str
    product: str
    date: str  # YYYYMMDD
    version: str  # NN
    kind: DayKind  # the name of its format (`l1.writers.FORMATS`)


@dataclass(frozen=True)
class Dataset:
    id: str
    product: str
    version: str | None  # "NN", or None: the newest version of each day
    files: tuple[DayFile, ...]  # the DayFiles, one per day, in day order

    @property
    def first_day(self) -> str:
        return self.files[0].date

    @property
    def last_day(self) -> str:
        return self.files[-1].date

    def newest(self) -> DayFile:
        """The day file that describes the dataset: the last day's."""
        return self.files[-1]


def _folders(path: str, pattern: re.Pattern[str]) -> list[str]:
    try:
        with os.scandir(path) as entries:
            return sorted(e.name for e in entries if pattern.match(e.name) and e.is_dir(follow_symlinks=False))
    except (FileNotFoundError, NotADirectoryError):
        return []


class Archive:
    """The day files and datasets of the archive at `root`."""

    def __init__(self, root: str | os.PathLike[str]) -> None:
        self.root = os.path.realpath(os.fspath(root))

    def products(self) -> list[str]:
        return _folders(self.root, _PRODUCT)

    def modified(self, products: Iterable[str] = (), files: Iterable[DayFile] = (), also: Iterable[str] = ()) -> float:
        """The newest modification time (seconds) of the archive's folder and mission file, of
        `products`' folders (their year and month folders too), of the DayFiles `files` and of
        the paths `also`; what cannot be found counts for nothing."""
        paths = [self.root, os.path.join(self.root, CONFIG_FILE), *also, *(f.path for f in files)]
        for product in products:
            base = os.path.join(self.root, product)
            paths.append(base)
            for year in _folders(base, _YEAR):
                paths.append(os.path.join(base, year))
                paths.extend(os.path.join(base, year, m) for m in _folders(os.path.join(base, year), _MONTH))
        newest = 0
        for path in paths:
            try:
                newest = max(newest, os.stat(path).st_mtime_ns)
            except OSError:
                continue
        return newest / 1e9

    def day_files(self, product: str) -> list[DayFile]:
        """Every day file of `product`, by day then version."""
        base = os.path.join(self.root, product)
        out: list[DayFile] = []
        for year in _folders(base, _YEAR):
            for month in _folders(os.path.join(base, year), _MONTH):
                folder = os.path.join(base, year, month)
                try:
                    with os.scandir(folder) as entries:
                        names = [e.name for e in entries if e.is_file(follow_symlinks=False)]
                except FileNotFoundError:
                    continue
                for name in names:
                    form, m = day_format_of(name)
                    if form is None or m is None:
                        continue
                    if m["product"] == product and m["date"][:4] == year and m["date"][4:6] == month:
                        kind = cast(DayKind, form.name)  # one of DAY_FORMATS
                        out.append(DayFile(os.path.join(folder, name), product, m["date"], m["version"], kind))
        return sorted(out, key=lambda f: (f.date, f.version))

    def datasets(self) -> dict[str, Dataset]:
        """{id: Dataset} of every product with day files: the newest-version dataset of each,
        and one per version when a product has several."""
        out: dict[str, Dataset] = {}
        for product in self.products():
            files = self.day_files(product)
            if not files:
                continue
            out[product] = _dataset(product, product, None, files)
            versions = sorted({f.version for f in files})
            if len(versions) > 1:
                for version in versions:
                    did = f"{product}_v{version}"
                    out[did] = _dataset(did, product, version, files)
        return out

    def dataset(self, did: object) -> Dataset | None:
        """The Dataset of id `did`, or None when the archive has none of that id."""
        if not isinstance(did, str):
            return None
        m = _VERSIONED.match(did)
        if _PRODUCT.match(did) and did in self.products():
            files = self.day_files(did)
            if files:
                return _dataset(did, did, None, files)
        if m and m["product"] in self.products():
            files = self.day_files(m["product"])
            if any(f.version == m["version"] for f in files):
                return _dataset(did, m["product"], m["version"], files)
        return None


def _dataset(did: str, product: str, version: str | None, files: Iterable[DayFile]) -> Dataset:
    """One file per day: version `version`'s, or the newest version's (version None)."""
    by_day: dict[str, DayFile] = {}
    for f in files:
        if version is None or f.version == version:
            by_day[f.date] = f  # files come by day then version: the last is the newest
    return Dataset(did, product, version, tuple(by_day[d] for d in sorted(by_day)))
