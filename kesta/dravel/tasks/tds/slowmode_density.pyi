"""TDS LFM power spectral densities into PSD records."""

from typing import Any

import numpy as np

PSD: np.dtype

def set_psd(l0: Any, task: Any) -> np.ndarray: ...
