"""Writing an output file safely: checked before any work, written under a temporary name in its
own folder, renamed into place once complete, removed on any failure.

Messages name the file the user asked for, never the temporary one.
"""

from __future__ import annotations

import errno
import logging
import os
import shutil
import threading
from collections.abc import Callable
from typing import TypeVar

from kesta.dravel.run.stop import guard, remove_leftovers, temporary, unguard

from .errors import OutputError, WriteError

# Space kept free on the output's file system beyond each write: writing stops, with a clear
# error, before a write could fail half way (the HDF5 library does not survive a failed write
# cleanly), leaving room for the file's own metadata.
SPACE_MARGIN = 2 << 20
RECHECK_BYTES = 1 << 20  # written between two looks at the free space


T = TypeVar("T")


def check_writable(path: str | os.PathLike[str], overwrite: bool = True) -> None:
    """Raises OutputError when `path` cannot be written as a new file."""
    path = os.fspath(path)
    if os.path.isdir(path):
        raise OutputError(f"{path}: is a directory, not a file to write")
    if os.path.lexists(path) and not overwrite:
        raise OutputError(f"{path}: exists already")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputError(f"{path}: cannot be written (folder {folder} does not exist)")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{path}: cannot be written (no permission to write in {folder})")
    if os.path.exists(path) and not os.access(path, os.W_OK) and not os.access(folder, os.W_OK):
        raise OutputError(f"{path}: cannot be written (no permission)")


def check_folder(folder: str | os.PathLike[str], create: bool = False) -> None:
    """Raises OutputError when files cannot be written into `folder` (made when `create`)."""
    folder = os.fspath(folder)
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise OutputError(f"{folder}: is a file, not a folder")
    if not os.path.isdir(folder):
        if not create:
            raise OutputError(f"{folder}: no such folder")
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as exc:
            raise OutputError(f"{folder}: cannot create the folder ({describe(exc)})") from None
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{folder}: cannot be written (no permission)")


def describe(exc: BaseException) -> str:
    """A short reason for an OSError, without its errno, file names or library details."""
    if isinstance(exc, OSError) and exc.errno is not None:
        return os.strerror(exc.errno).lower()
    text = str(exc)
    for code, words in (
        (errno.ENOSPC, "no space"),
        (errno.EACCES, "permission denied"),
        (errno.ENOENT, "no such file"),
        (errno.EROFS, "read-only"),
    ):
        if words in text.lower() or f"errno = {code}," in text:
            return os.strerror(code).lower()
    return "write failed"


def is_disk_full(exc: BaseException) -> bool:
    return isinstance(exc, OSError) and exc.errno in (errno.ENOSPC, errno.EDQUOT)


def discard(path: str) -> None:
    """Removes the temporary file `path` and what its writers left beside it, and stops
    guarding it."""
    try:
        os.unlink(path)
    except OSError:
        pass
    remove_leftovers(path)
    unguard(path)


def close_abandoned(close: Callable[[], object], path: str) -> None:
    """`close()` of a file being thrown away after a failure of its own: that failure is the one
    reported, so a failure to close is logged (debug) and goes no further."""
    try:
        close()
    except Exception as exc:  # noqa: BLE001 - logged: the failure that led here is the run's
        logging.getLogger(__name__).debug(
            "%s: closing the abandoned temporary file failed (%s: %s)", path, type(exc).__name__, exc
        )


class Target:
    """One file to write: `open` makes the temporary file, `commit` renames it into place,
    `abort` removes it."""

    def __init__(self, path: str | os.PathLike[str], overwrite: bool = True, suffix: str = "") -> None:
        self.path = os.fspath(path)
        check_writable(self.path, overwrite)
        folder, base = os.path.split(os.path.abspath(self.path))
        self.folder = folder
        # `suffix` ends the temporary name for libraries that insist on an extension
        self.tmp = temporary(folder, base, os.getpid(), threading.get_ident(), suffix)
        self.overwrite = overwrite
        self._room = 0  # bytes that may be written before the free space is checked again

    @classmethod
    def adopt(cls, path: str | os.PathLike[str], tmp: str) -> Target:
        """The target `path` whose temporary file `tmp` another process made and will commit."""
        target = cls.__new__(cls)
        target.path, target.tmp, target.overwrite, target._room = os.fspath(path), tmp, True, 0
        target.folder = os.path.dirname(os.path.abspath(target.path))
        return target

    def open(self, opener: Callable[[str], T]) -> T:
        """Opens the temporary file with `opener(temporary path)`."""
        guard(self.tmp)
        try:
            return opener(self.tmp)
        except Exception as exc:  # noqa: BLE001 - any library's opener: its failure is the output's
            self._remove()
            why = describe(exc) if isinstance(exc, OSError) else f"{type(exc).__name__}: {str(exc).strip()[:200]}"
            raise OutputError(f"{self.path}: cannot be written ({why})") from None

    def check_space(self, need: int = 0) -> None:
        """Raises OutputError (and leaves the caller to abort) when the output's file system
        has less than `need` bytes plus a margin free.

        The file system is asked again only once the room it last gave (at most RECHECK_BYTES,
        as others write there too) is used up, and always for need=0 (before closing)."""
        if need and need <= self._room:
            self._room -= need
            return
        try:
            free = shutil.disk_usage(self.folder).free
        except OSError:
            return
        if free < need + SPACE_MARGIN:
            raise WriteError(f"{self.path}: cannot be written (no space left on device)")
        self._room = min(free - SPACE_MARGIN - need, RECHECK_BYTES)

    def commit(self, close: Callable[[], object] | None = None) -> None:
        try:
            self.check_space()
            if close is not None:
                close()
            if not self.overwrite and os.path.lexists(self.path):
                raise OutputError(f"{self.path}: exists already")
            os.replace(self.tmp, self.path)
            unguard(self.tmp)
        except OutputError:
            self.abort()
            raise
        except Exception as exc:  # noqa: BLE001 - whatever fails here, the file is not written
            self.abort()
            raise WriteError(f"{self.path}: cannot be written ({describe(exc)})") from None

    def abort(self, close: Callable[[], object] | None = None) -> None:
        try:
            if close is not None:
                close_abandoned(close, self.path)
        finally:
            self._remove()

    def _remove(self) -> None:
        unguard(self.tmp)
        try:
            os.unlink(self.tmp)
        except OSError:
            pass
