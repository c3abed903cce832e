"""TDS 2-D histograms into HIST2D records."""

from typing import Any

import numpy as np

HIST2D: np.dtype
SAMPLING_RATE_HZ: list[float]

def set_hist2d(l0: Any, task: Any) -> np.ndarray: ...
