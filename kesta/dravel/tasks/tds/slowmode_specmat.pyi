"""TDS LFM spectral matrices into SM records."""

from typing import Any

import numpy as np

SM: np.dtype

def set_sm(l0: Any, task: Any) -> np.ndarray: ...
