"""TNR survey decoder: 10,000 blocks with all four bands on (40,000 records).

Prints blocks/s and records/s (CPU time of this process, so that other work on the machine
counts less), then splits the decode time two ways:
- the receiver helper, packet reader and time service calls the decoder made, recorded once
  and replayed from Python alone on the same arguments; the decode minus that replay is the
  decoder's own work (cutting packets, storing helper values, writing records);
- the decoder run with components that hand back the recorded results at once: what it takes
  is the decoder's own work, measured directly.
The decoder's own work should stay under 10% of the decode.
"""

import argparse
import logging

import numpy as np

from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.thr_encoding import TnrPacket
from kesta.dravel.simulate.thr_expected import tnr_survey_group
from kesta.dravel.simulate.thr_random import random_time, random_tnr_block
from kesta.dravel.tasks.thr import survey_lowband

from thr_components import HELPERS as ALL_HELPERS
from thr_components import Swap, idle, instant, recording, replay, timed

HELPERS = ALL_HELPERS["survey_lowband"]


def survey_group(rng, nblocks, per_packet):
    """Packets of `per_packet` blocks, every band and channel on, auto and cross spectra."""
    packets = []
    for start in range(0, nblocks, per_packet):
        blocks = []
        for _ in range(min(per_packet, nblocks - start)):
            block = random_tnr_block(rng)
            block.tnr_setup = (int(rng.integers(0, 4)), 1, 1, 1, 1, 1, 1)
            block.do_analysis = (0, 0, 1, 1, 1, 0)
            blocks.append(block)
        packets.append(TnrPacket(blocks, random_time(rng)))
    return tnr_survey_group(packets, "normal")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--blocks", type=int, default=10_000)
    parser.add_argument("--per-packet", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    logging.getLogger("vantor").setLevel(logging.CRITICAL)

    case = survey_group(np.random.default_rng(1), args.blocks, args.per_packet)
    group = case.group
    task = ListTask()
    out = survey_lowband.decommute_normal(group, task)
    assert not task.reports and out.tobytes() == case.records.tobytes()

    calls, results = [], {}
    with Swap(recording(HELPERS, calls, results)):
        survey_lowband.decommute_normal(group, ListTask())
    idle_calls = idle(calls)

    totals, helpers, loops, instants = [], [], [], []
    for _ in range(args.repeat):  # interleaved, so that a busy machine hits all alike
        totals.append(timed(lambda: survey_lowband.decommute_normal(group, ListTask())))
        helpers.append(replay(calls))
        loops.append(replay(idle_calls))
        with Swap(instant(HELPERS, results)):
            instants.append(timed(lambda: survey_lowband.decommute_normal(group, ListTask())))
    total, loop = min(totals), min(loops)
    # The cost of one Python call of the same arity is counted as the decoder's, not the helper's.
    helper = min(helpers) - loop
    own_direct = min(instants) - loop

    nrecords = len(out)
    kinds = {}
    for fn, _ in calls:
        name = getattr(fn, "__qualname__", str(fn)).replace("recording.<locals>.", "")
        kinds[name] = kinds.get(name, 0) + 1
    print(
        f"survey_lowband.decommute_normal: {args.blocks} blocks, {nrecords} records, "
        f"{len(group['PA_THR_N_BLOCK_CNT'])} packets in {total * 1e3:.1f} ms CPU: "
        f"{args.blocks / total:,.0f} blocks/s, {nrecords / total:,.0f} records/s"
    )
    print(
        f"  helper, reader and time calls ({len(calls)}), replayed from Python alone: "
        f"{helper * 1e3:.1f} ms ({100 * helper / total:.1f}% of the decode)"
    )
    print(
        f"  decoder's own work, decode minus replay: {(total - helper) * 1e3:.1f} ms "
        f"({100 * (total - helper) / total:.1f}%), {(total - helper) / nrecords * 1e6:.2f} us per output record"
    )
    print(
        f"  decoder's own work, with components answering at once: {own_direct * 1e3:.1f} ms "
        f"({100 * own_direct / total:.1f}%; target under 10%), "
        f"{own_direct / nrecords * 1e6:.2f} us per output record"
    )
    print("  calls: " + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))


if __name__ == "__main__":
    main()
