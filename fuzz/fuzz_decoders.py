"""Fuzzes the decoders with mangled L0 stores for a time budget.

    python fuzz/fuzz_decoders.py --minutes 10 --decoder tswf --decoder hist2d
    python fuzz/fuzz_decoders.py --minutes 30 --decoder all --build build/dev-hard-asan --sanitize
    python fuzz/fuzz_decoders.py --replay fuzz/reproducers/<file>.pkl

Each case is a small simulated store of one product with one to three mutations (a parameter
dropped, cut, reshaped, retyped, filled with huge, negative or NaN values, single values made
to lie, the store's structure broken). Cases run in a child process, one after the other in
the same interpreter; the parent watches it, so a crash (a signal, a sanitizer report) or a
hang (no answer within --timeout seconds) costs only that child, which is then restarted. A
call that neither returns an array of the product's record type nor raises an exception that
says what was wrong is a failure too. Every failure is saved under fuzz/reproducers/ as a
pickle of the store and the product name, replayable with --replay.

A decoder is named by its module (routine_trigsnap), a product (tswf_sbm2), a short name
(tswf, rswf, hist2d, sm, psd, tnr, tnr_cal, hfr_cal) or "all".
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import logging
import os
import pickle
import re
import selectors
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(ROOT / "tests" / "hardening"), str(ROOT)]

REPRODUCERS = HERE / "reproducers"
KEEP_PER_SIGNATURE = 3


def _products(names):
    import hardening_cases as hc

    out = []
    for name in names:
        name = hc.ALIASES.get(name, name)
        if name == "all":
            found = list(hc.PRODUCTS)
        elif name in hc.DECODERS:
            found = hc.DECODERS[name]
        elif name in hc.PRODUCTS:
            found = [name]
        else:
            raise SystemExit(f"unknown decoder {name!r}")
        out.extend(p for p in found if p not in out)
    return out


def _case(product, run_seed, k):
    import hardening_cases as hc

    chooser = hc.RandomChooser(f"{product}:{run_seed}:{k}")
    return hc.mutated_case(product, chooser.integers(0, 10_000), chooser)


def _signature(product, kind, text):
    text = (text.splitlines()[0] if text else "").split(" [mutated:")[0]
    text = re.sub(r"0x[0-9a-f]+|\d+", "N", text)[:120]
    return f"{product}|{kind}|{text}"


def save_reproducer(case, kind, detail, run_seed, k):
    REPRODUCERS.mkdir(exist_ok=True)
    digest = hashlib.sha1(f"{case.product}:{run_seed}:{k}".encode()).hexdigest()[:10]
    path = REPRODUCERS / f"{case.product}-{kind}-{digest}.pkl"
    with open(path, "wb") as f:
        pickle.dump(
            {
                "product": case.product,
                "l0": case.l0,
                "mutations": case.mutations,
                "kind": kind,
                "detail": detail,
                "case": (run_seed, k),
            },
            f,
        )
    return path


# --------------------------------------------------------------------------------------------
# Child: runs cases and says what it is doing on stdout


def worker(products, run_seed, start):
    import hardening_cases as hc

    logging.disable(logging.CRITICAL)
    saved = collections.Counter()
    out = sys.stdout
    k = start
    while True:
        product = products[k % len(products)]
        out.write(f"B {product} {k}\n")
        out.flush()
        case = _case(product, run_seed, k)
        task = hc.CountingTask()
        try:
            outcome, _ = hc.judge(case, lambda: hc.call(product, case.l0, task))  # noqa: B023 - called within the iteration
            out.write(f"E {outcome}\n")
        except hc.Verdict as v:
            text = str(v)
            sig = _signature(product, f"known {v.issue}" if isinstance(v, hc.KnownIssue) else "verdict", text)
            saved[sig] += 1
            path = ""
            if saved[sig] <= KEEP_PER_SIGNATURE:
                path = save_reproducer(case, "verdict", text + "\nmutations: " + "; ".join(case.mutations), run_seed, k)
            out.write(f"F {sig}\t{path}\n")
        out.flush()
        k += 1


# --------------------------------------------------------------------------------------------
# Parent: starts and watches children


def child_env(build, sanitize):
    env = dict(os.environ)
    paths = [str(ROOT)]
    if build:
        paths.append(str(Path(build).resolve() / "python"))
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    if sanitize:
        libs = []
        for lib in ("libasan.so", "libubsan.so"):
            libs.append(
                subprocess.run(
                    ["g++", f"-print-file-name={lib}"], capture_output=True, text=True, check=True
                ).stdout.strip()
            )
        env["LD_PRELOAD"] = " ".join(libs)
        # A lying size may ask for terabytes: fail the allocation (MemoryError) as a plain build does.
        env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
        env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    return env


def fuzz(products, minutes, run_seed, timeout, build, sanitize, log):
    deadline = time.monotonic() + 60 * minutes
    env = child_env(build, sanitize)
    tried = collections.Counter()
    failures = collections.Counter()
    saved = collections.Counter()
    examples = {}
    k = 0
    REPRODUCERS.mkdir(exist_ok=True)
    while time.monotonic() < deadline:
        errlog = REPRODUCERS / f".child-{os.getpid()}.err"
        with open(errlog, "wb") as err:
            child = subprocess.Popen(
                [
                    sys.executable,
                    __file__,
                    "--worker",
                    "--seed",
                    str(run_seed),
                    "--start",
                    str(k),
                    "--products",
                    ",".join(products),
                ],
                stdout=subprocess.PIPE,
                stderr=err,
                env=env,
                text=True,
                bufsize=1,
            )
        sel = selectors.DefaultSelector()
        sel.register(child.stdout, selectors.EVENT_READ)
        current = None  # (product, k) of the case in flight
        last = time.monotonic()
        ended = None
        while True:
            now = time.monotonic()
            if now >= deadline:
                child.kill()
                child.wait()
                break
            events = sel.select(timeout=min(1.0, deadline - now))
            if events:
                line = child.stdout.readline()
                if not line:
                    ended = child.wait()
                    break
                last = time.monotonic()
                tag, _, rest = line.rstrip("\n").partition(" ")
                if tag == "B":
                    product, number = rest.split()
                    current = (product, int(number))
                elif tag in ("E", "F"):
                    tried[current[0]] += 1
                    if tag == "F":
                        sig, _, path = rest.partition("\t")
                        failures[sig] += 1
                        if sig not in examples:
                            log(f"failure {sig}  {path}")
                        examples.setdefault(sig, path)
                    k = current[1] + 1
                    current = None
            elif current is not None and time.monotonic() - last > timeout:
                child.kill()  # the child we started, by its handle
                child.wait()
                ended = "hang"
                break
        sel.close()
        child.stdout.close()
        if ended is None:
            break  # budget spent
        if current is None:
            log(f"child ended ({ended}) between cases: {errlog.read_text(errors='replace')[-2000:]}")
            break
        product, number = current
        tried[product] += 1
        kind = "hang" if ended == "hang" else "crash"
        detail = errlog.read_text(errors="replace")[-6000:]
        if kind == "crash":
            detail = f"exit status {ended}\n{detail}"
        sig = _signature(product, kind, _first_report_line(detail) if kind == "crash" else "")
        failures[sig] += 1
        saved[sig] += 1
        path = (
            save_reproducer(_case(product, run_seed, number), kind, detail, run_seed, number)
            if saved[sig] <= KEEP_PER_SIGNATURE
            else ""
        )
        examples.setdefault(sig, str(path))
        log(f"failure {sig}  {path}")
        k = number + 1
    for f in REPRODUCERS.glob(f".child-{os.getpid()}.err"):
        f.unlink()
    return tried, failures, examples


def _first_report_line(text):
    for line in text.splitlines():
        if "ERROR: AddressSanitizer" in line or "runtime error" in line or "Fatal Python error" in line:
            return re.sub(r"^.*?(ERROR|runtime error|Fatal)", r"\1", line)
    return text.strip().splitlines()[-1] if text.strip() else "no output"


def replay(path):
    import hardening_cases as hc

    with open(path, "rb") as f:
        saved = pickle.load(f)
    print(f"{saved['product']} ({saved['kind']}): {'; '.join(saved['mutations'])}")
    case = hc.Case(saved["product"], saved["l0"], None, 0, saved["mutations"])
    task = hc.CountingTask()
    outcome, value = hc.judge(case, lambda: hc.call(case.product, case.l0, task))
    print(outcome, repr(value) if outcome == "error" else f"{len(value)} records", f"{task.reports} reports")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--decoder", action="append", default=[])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds one case may take")
    parser.add_argument("--build", help="development build directory holding python/kesta/...")
    parser.add_argument("--sanitize", action="store_true", help="preload the sanitizer runtimes")
    parser.add_argument("--replay")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--products", help=argparse.SUPPRESS)
    parser.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args.products.split(","), args.seed, args.start)
        return 0
    if args.replay:
        replay(args.replay)
        return 0
    products = _products(args.decoder or ["all"])

    def log(text):
        print(text, flush=True)

    start = time.monotonic()
    tried, failures, examples = fuzz(products, args.minutes, args.seed, args.timeout, args.build, args.sanitize, log)
    total = sum(tried.values())
    print(
        f"\n{total} cases in {(time.monotonic() - start) / 60:.1f} minutes, "
        f"{sum(failures.values())} failures of {len(failures)} kinds"
    )
    for product in products:
        print(f"  {product:16s} {tried[product]:8d} cases")
    for sig, n in failures.most_common():
        print(f"  {n:6d} x {sig}  e.g. {examples.get(sig, '')}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
