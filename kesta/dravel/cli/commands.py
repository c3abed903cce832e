"""The commands: what each does and prints; a run that does not end well raises RunFailed."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

from .errors import RunFailed


class Console:
    """What a command prints: -q keeps errors only."""

    def __init__(self, quiet=False):
        self.quiet = quiet

    def out(self, *lines):
        if not self.quiet:
            for line in lines:
                print(line)

    def err(self, *lines):
        for line in lines:
            print(line, file=sys.stderr)


def cmd_simulate(args, console):
    from .errors import UsageError
    from .simulate import simulate_days, simulate_file

    if args.days is None and args.start is not None:
        raise UsageError("--start needs --days")
    if args.days is not None:
        if args.start is None:
            raise UsageError("--days needs --start YYYY-MM-DD")
        written, notes, failures = simulate_days(
            args.output, args.days, args.start, args.seed, args.anomalies, args.scale
        )
        console.out(
            f"wrote {len(written)} day file(s) to {args.output} "
            f"(seed {args.seed}{', with anomalies' if args.anomalies else ''}):"
        )
        console.out(*(f"  {os.path.basename(path)}: {sum(counts.values())} packets" for path, counts in written))
        console.out(*("note: " + n for n in notes))
        console.err(*("error: " + f for f in failures))
        if failures:
            raise RunFailed(f"{len(failures)} packet type(s) could not be simulated")
        return 0
    counts, notes, failures = simulate_file(args.output, args.seed, args.anomalies, args.scale)
    console.out(
        f"wrote {args.output}: {sum(counts.values())} packets of {len(counts)} packet types "
        f"(seed {args.seed}{', with anomalies' if args.anomalies else ''})"
    )
    console.out(*(f"  {name}: {n} packets" for name, n in counts.items()))
    console.out(*("note: " + n for n in notes))
    console.err(*("error: " + f for f in failures))
    if failures:
        raise RunFailed(f"{len(failures)} packet type(s) could not be simulated")
    return 0


def _decode(console, input_path, output, args, format="hdf5"):
    from kesta.dravel.l1.convert import convert
    from kesta.dravel.l1.writers import FORMATS

    from .decode import details, summary_table

    result = convert(
        input_path,
        output,
        format=format,
        products=getattr(args, "products", None),
        data_version=getattr(args, "data_version", "01"),
        overwrite=getattr(args, "overwrite", False),
        window_bytes=getattr(args, "window", 64) << 20,
        interrupted=args.stop,
    )
    console.out(*summary_table(result))
    if args.verbose:
        console.out(*details(result))
    form = FORMATS[format]
    if not form.days:
        console.out(f"wrote {output}: {result.records} records")
    else:
        console.out(
            f"wrote {len(result.outputs)} {form.label} file(s) to {output}:",
            *("  " + os.path.basename(p) for p in result.outputs),
        )
    return result


def verdict(result, strict=False):
    """Raises RunFailed, saying why, when a decode run did not end well: a product failed, or
    (`strict`) one is partial."""
    from kesta.dravel.l1.results import shorten

    if result.failed:
        first = result.failed[0]
        raise RunFailed(
            f"{len(result.failed)} of {len(result.products)} product(s) failed; "
            f"{first.product}: {shorten(first.message)}"
        )
    if strict and result.partial:
        first = result.partial[0]
        raise RunFailed(f"--strict: {len(result.partial)} product(s) partial; {first.product}: {first.summary()}")


def _check_report(path):
    """Refuses a run report path that could not be written, before any decoding."""
    if path:
        from kesta.dravel.l1.output import check_writable

        check_writable(path)


def _write_report(path, results):
    import json

    from kesta.dravel.l1.attributes import software_version
    from kesta.dravel.l1.output import Target

    target = Target(path)
    with target.open(lambda tmp: open(tmp, "w", encoding="utf-8")) as stream:
        json.dump({"dravel": software_version(), "files": results}, stream, indent=1)
    target.commit()


def cmd_decode(args, console):
    _check_report(args.report)
    result = _decode(console, args.input, args.output, args, args.format)
    if args.report:
        _write_report(args.report, [result.as_dict()])
    verdict(result, args.strict)
    return 0


def _quicklook(console, input_path, out_dir):
    from kesta.dravel.l1.quicklook import quicklook_file

    written, notes, failures = quicklook_file(input_path, out_dir)
    console.out(*("note: " + n for n in notes))
    console.err(*("error: " + f for f in failures))
    return written, failures


def cmd_quicklook(args, console):
    written, failures = _quicklook(console, args.input, args.output)
    console.out(f"wrote {len(written)} plot(s) to {args.output}", *("  " + path for path in written))
    if failures:
        raise RunFailed(f"{len(failures)} plot(s) could not be made; {failures[0]}")
    return 0


def cmd_describe(args, console):
    from kesta.dravel.l1 import describe
    from kesta.dravel.l1.decode import select_products

    chosen = select_products(args.products)
    if args.markdown:
        console.out(*describe.markdown([p.name for p in chosen]))
    else:
        for product in chosen:
            console.out(*describe.describe(product.name), "")
    return 0


def cmd_demo(args, console):
    from .simulate import simulate_file

    kept = args.output is None
    folder = args.output or tempfile.mkdtemp(prefix="dravel-demo-")
    os.makedirs(folder, exist_ok=True)
    l0, l1, cdf, plots = (os.path.join(folder, n) for n in ("L0.h5", "L1.h5", "cdf", "plots"))
    counts, notes, failures = simulate_file(l0, args.seed, args.anomalies)
    console.out(f"simulated {sum(counts.values())} packets of {len(counts)} packet types -> {l0}")
    console.out(*("note: " + n for n in notes))
    console.err(*("error: " + f for f in failures))
    args.overwrite = True  # the demo's own folder: a second demo there replaces the first
    result = _decode(console, l0, l1, args)
    cdfs = _decode(Console(quiet=True), l0, cdf, argparse.Namespace(verbose=0, overwrite=True, stop=args.stop), "cdf")
    console.out(f"ISTP CDF files ({len(cdfs.outputs)}) in {cdf}:", *("  " + os.path.basename(p) for p in cdfs.outputs))
    written, plot_failures = _quicklook(console, l1, plots)
    console.out(f"plots ({len(written)}) in {plots}:", *("  " + os.path.basename(p) for p in written))
    if kept:
        console.out(f"the demo's files are kept in {folder} ({_megabytes(folder)} MB): remove it when done")
    if failures or plot_failures:
        raise RunFailed(f"the demo could not simulate or plot everything; {(failures or plot_failures)[0]}")
    verdict(result)
    verdict(cdfs)
    return 0


def _megabytes(folder):
    total = 0
    for root, _, files in os.walk(folder):
        total += sum(os.path.getsize(os.path.join(root, name)) for name in files)
    return round(total / 1e6, 1)


def cmd_batch(args, console):
    from kesta.dravel.l1.files import run_dask, run_local

    from .batch import Progress, expand_inputs, outcome_table, plan

    _check_report(args.report)
    pairs = plan(expand_inputs(args.inputs), args.output)
    existing = [l1 for _, l1 in pairs if os.path.lexists(l1)]
    if existing and not args.overwrite:
        from kesta.dravel.l1.errors import OutputError

        more = f" (and {len(existing) - 1} more)" if len(existing) > 1 else ""
        raise OutputError(f"{existing[0]}: exists already{more}; --overwrite replaces")
    progress = Progress(pairs)
    try:
        if args.scheduler:
            outcomes = run_dask(
                pairs,
                args.scheduler,
                args.products,
                progress.update,
                args.stop,
                args.connect_timeout,
                args.worker_timeout,
            )
        else:
            outcomes = run_local(pairs, args.products, args.workers, progress.update, args.stop)
    finally:
        progress.close()
    console.out(*outcome_table(outcomes))
    bad = [o for o in outcomes if not o.ok]
    console.out(
        f"{len(outcomes) - len(bad)} of {len(outcomes)} file(s) decoded without error "
        f"into {os.path.dirname(pairs[0][1])}; {progress.summary()}"
    )
    if args.report:
        _write_report(args.report, [o.as_dict() for o in outcomes])
    if bad:
        raise RunFailed(
            f"{len(bad)} of {len(outcomes)} file(s) failed; {os.path.basename(bad[0].input)}: {bad[0].why()}"
        )
    partial = [o for o in outcomes if o.partial_products]
    if args.strict and partial:
        raise RunFailed(
            f"--strict: {len(partial)} file(s) with partial products; "
            f"{os.path.basename(partial[0].input)}: {', '.join(partial[0].partial_products)}"
        )
    return 0


def cmd_archive(args, console):
    from .archive import run_archive

    return run_archive(args, console)


def cmd_serve(args, console):
    from .serve import run_serve

    return run_serve(args, console)


COMMANDS = {
    "simulate": cmd_simulate,
    "decode": cmd_decode,
    "quicklook": cmd_quicklook,
    "describe": cmd_describe,
    "demo": cmd_demo,
    "batch": cmd_batch,
    "archive": cmd_archive,
    "serve": cmd_serve,
}
