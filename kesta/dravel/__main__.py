"""`python -m kesta.dravel` and the `dravel` command: the dravel command line.

Kept apart from the command line's own modules, whose imports (NumPy, h5py, the L1 library)
take a moment. A Ctrl-C during them is only noted, never raised: raised inside an extension
module's initialisation, it comes out as that module's ImportError. The run then ends as one
interrupted at any other moment does."""

from __future__ import annotations

import signal
import sys


def main() -> int:
    held: list[int] = []
    noted: list[int] | None = held
    try:
        signal.signal(signal.SIGINT, lambda signum, frame: held.append(signum))
    except ValueError:  # not the main thread: nothing to hold
        noted = None
    # lazy: imported once SIGINT is only noted (see above)
    from kesta.dravel.cli import main as run

    return run(last=True, noted=noted)


if __name__ == "__main__":
    sys.exit(main())
