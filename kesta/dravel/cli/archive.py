"""`dravel archive`: the archive of daily L1 files brought up to date with L0 files."""
from __future__ import annotations

import os
import time

from .errors import RunFailed


class Progress:
    """Files and days done, and MB/s of L0 decoded, on stderr when it is a terminal."""

    def __init__(self):
        self.bar = None
        self.bytes = 0
        self.started = time.monotonic()

    def start(self, what, total, unit):
        from tqdm import tqdm

        self.close()
        self.bytes, self.started = 0, time.monotonic()
        self.bar = tqdm(total=total, desc=what, unit=unit, disable=None)

    def update(self, nbytes):
        self.bytes += nbytes
        if self.bytes:
            seconds = max(time.monotonic() - self.started, 1e-9)
            self.bar.set_postfix_str(f"{self.bytes / 1e6 / seconds:.1f} MB/s of L0", refresh=False)
        self.bar.update()

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def run_archive(args, console):
    from kesta.dravel.archive.campaign import Campaign
    from kesta.dravel.l1.results import shorten
    from kesta.dravel.run import runner as local_runner
    from kesta.dravel.run.dask import DaskRunner

    from .batch import expand_inputs

    inputs = expand_inputs(args.inputs)
    if args.scheduler:
        runner = DaskRunner(args.scheduler, args.connect_timeout, args.worker_timeout, name="dravel-archive")
    else:
        runner = local_runner(args.workers)
    progress = Progress()
    try:
        campaign = Campaign(inputs, args.output, args.format, args.data_version, args.quicklook,
                            runner, progress, args.stop)
        done = campaign.run()
    finally:
        progress.close()
        runner.close()
    for path, message in done.failed_files:
        console.err(f"FAILED {path}: {shorten(message)}")
    for path, message in done.failed_days:
        console.err(f"FAILED {path}: {shorten(message)}")
    rate = done.l0_bytes / 1e6 / max(done.seconds, 1e-9)
    console.out(f"{done.files} L0 file(s): {len(done.decoded)} decoded, {done.unchanged_files} unchanged, "
                f"{len(done.failed_files)} failed ({done.l0_bytes / 1e6:.1f} MB of L0, {rate:.1f} MB/s)",
                f"day files: {len(done.written)} written, {done.unchanged_days} unchanged, "
                f"{len(done.removed)} removed, {len(done.failed_days)} failed; "
                f"{done.duplicates} record(s) delivered twice written once",
                f"coverage: {done.page} ({done.seconds:.1f} s)")
    if done.failed_files:
        path, message = done.failed_files[0]
        raise RunFailed(f"{len(done.failed_files)} of {done.files} L0 file(s) failed (tried again "
                        f"by the next run); {os.path.basename(path)}: {shorten(message)}")
    if done.failed_days:
        path, message = done.failed_days[0]
        raise RunFailed(f"{len(done.failed_days)} day file(s) could not be written; "
                        f"{os.path.basename(path)}: {shorten(message)}")
    return 0
