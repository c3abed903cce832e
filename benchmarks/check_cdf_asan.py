"""Whether the CDF libraries stay clean under AddressSanitizer and UBSan, preloaded as CI's second
pytest run preloads them: a day file written and read back through pycdfpp (the sketch, whole-
file and per-variable GZIP), and spacepy's pycdf writing a text attribute.

Each case runs in a fresh interpreter under the preload; prints its exit status and the first
lines of any sanitizer report.

    python benchmarks/check_cdf_asan.py [--scale 1]
"""
import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
PRODUCTS = ("tswf", "tnr_normal", "hfr_calibration")


def sanitized_env():
    def lib(name):
        return subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True,
                              check=True).stdout.strip()

    return dict(ENV, LD_PRELOAD=f"{lib('libasan.so')} {lib('libubsan.so')}",
                ASAN_OPTIONS="detect_leaks=0:abort_on_error=1",
                UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")


def case_pycdfpp(folder):
    import numpy as np
    import pycdfpp

    from kesta.dravel.l1.cdf_pycdfpp_sketch import read_variable, write_day

    for product in PRODUCTS:
        day = np.load(os.path.join(folder, f"{product}.npy"))
        for compression in ("file", "variable", None):
            path = os.path.join(folder, f"{product}-{compression}.cdf")
            write_day(day, product, path, parents="L0.h5", compression=compression)
            cdf = pycdfpp.load(path)
            for name in cdf:
                values = read_variable(cdf, name)
                read_variable(cdf, name, 0, max(1, len(values) // 2))
                for _, attribute in cdf[name].attributes.items():
                    str(attribute)
            for _, attribute in cdf.attributes.items():
                str(attribute)
            # and from memory, as a server holding a file's bytes would
            with open(path, "rb") as f:
                data = f.read()
            again = pycdfpp.load(data)
            assert sorted(again) == sorted(cdf)
            bytes(pycdfpp.save(again))
    print("pycdfpp: written and read back")


def case_spacepy_text(folder):
    from spacepy import pycdf

    path = os.path.join(folder, "text.cdf")
    cdf = pycdf.CDF(path, "")
    try:
        cdf.attrs["Project"] = "ISTP>International Solar-Terrestrial Physics"
        v = cdf.new("x", data=[1, 2, 3], type=pycdf.const.CDF_INT4)
        v.attrs.new("CATDESC", data="some text", type=pycdf.const.CDF_CHAR)
    finally:
        cdf.close()
    print("spacepy: text attribute written")


def prepare(folder, scale):
    import numpy as np

    from kesta.dravel.cli.simulate import simulate_file
    from kesta.dravel.l1 import decode_file
    from kesta.dravel.l1.dayrecords import daily_records
    from kesta.dravel.l1.times import utc_days

    l0 = os.path.join(folder, "L0.h5")
    simulate_file(l0, seed=5, scale=scale)
    for result in decode_file(l0, list(PRODUCTS)).products:
        records = daily_records(result.product, result.data)
        _, start, stop = next(d for d in utc_days(records["epoch"]) if d[0] is not None)
        np.save(os.path.join(folder, f"{result.product}.npy"), records[start:stop])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="cdf-asan-") as folder:
        subprocess.run([sys.executable, __file__, "--case", "prepare", folder, str(args.scale)], env=ENV, check=True)
        for case in ("pycdfpp", "spacepy_text"):
            proc = subprocess.run([sys.executable, __file__, "--case", case, folder], env=sanitized_env(),
                                  capture_output=True, text=True)
            report = [line for line in proc.stderr.splitlines()
                      if "Sanitizer" in line or "runtime error" in line or line.lstrip().startswith("#")]
            verdict = "clean" if proc.returncode == 0 and not report else f"exit {proc.returncode}"
            print(f"{case}: {verdict}; {proc.stdout.strip()}")
            for line in report[:12]:
                print(f"    {line}")


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--case":
        case, rest = sys.argv[2], sys.argv[3:]
        if case == "prepare":
            prepare(rest[0], int(rest[1]))
        else:
            {"pycdfpp": case_pycdfpp, "spacepy_text": case_spacepy_text}[case](rest[0])
    else:
        main()
