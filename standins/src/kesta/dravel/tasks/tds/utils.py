"""Pure TDS utilities of the plug-in (stand-in)."""

import numpy as np


def count_swf(snapshot_nr):
    """Number the snapshots of a sorted packet run.

    Returns (counter, count): packets sharing a snapshot number in a contiguous run share one
    counter value (0, 1, 2, ... in order of appearance); `count` is the number of distinct values.
    """
    snapshot_nr = np.asarray(snapshot_nr).reshape(-1)
    if snapshot_nr.size == 0:
        return np.zeros(0, dtype=np.uint32), 0
    starts = np.empty(snapshot_nr.size, dtype=bool)
    starts[0] = True
    starts[1:] = snapshot_nr[1:] != snapshot_nr[:-1]
    counter = (np.cumsum(starts) - 1).astype(np.uint32)
    return counter, int(counter[-1]) + 1


def group(pkt_nr):
    """Group the packets of multi-packet records.

    Packets come in time order and the packets of one record are consecutive, though not always
    in packet-number order. A new record starts at a packet numbered 1, or at a packet whose
    number was already seen in the current record.
    Returns (groups, size): the 0-based record index of every packet and the number of records.
    """
    pkt_nr = np.asarray(pkt_nr).reshape(-1).tolist()
    groups = []
    record = -1
    seen = set()
    for number in pkt_nr:
        if record < 0 or number == 1 or number in seen:
            record += 1
            seen = set()
        seen.add(number)
        groups.append(record)
    return np.array(groups, dtype=np.uint64), record + 1
