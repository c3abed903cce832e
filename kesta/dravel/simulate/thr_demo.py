"""THR demo content: packet groups of the four THR packet types for demos and the command
line. Only the packets are built; no expected record is computed."""

from __future__ import annotations

import numpy as np

from kesta.dravel import products

from .thr_encoding import hfr_calibration_packets, tnr_calibration_packets, tnr_survey_packets
from .thr_random import random_hfr_calibration_packets, random_tnr_calibration_packets, random_tnr_survey_packets


def demo_groups(rng: np.random.Generator, anomalies: bool = False) -> dict[str, dict[str, np.ndarray]]:
    """Packet groups of the four THR packet types, for demos and the command line.

    With `anomalies`, some packets of each group carry a fault (wrong word or block count,
    truncated data row) that the decoders report and skip.
    """
    bad = 2 if anomalies else 0
    groups = {
        products.TNR_NORMAL_PACKET: tnr_survey_packets(random_tnr_survey_packets(rng, 12, bad=bad), "normal"),
        products.TNR_BURST_PACKET: tnr_survey_packets(random_tnr_survey_packets(rng, 8, bad=bad), "burst"),
        products.TNR_CALIBRATION_PACKET: tnr_calibration_packets(random_tnr_calibration_packets(rng, 4, bad=bad)),
        products.HFR_CALIBRATION_PACKET: hfr_calibration_packets(random_hfr_calibration_packets(rng, 4, bad=bad)),
    }
    # one packet every 16 s from the same start, as a receiver in operation sends them
    for group in groups.values():
        times = group["PA_THR_ACQUISITION_TIME"]
        times[:, 0] = 200_000 + 16 * np.arange(len(times))
        times[:, 1] = 0
        times[:, 2] = 1
    return groups
