"""Regular snapshot waveforms (normal mode and SBM1) into RSWF records."""

from typing import Any

import numpy as np
import numpy.typing as npt

RSWF: np.dtype
NSAMP_MAX_PER_REC: int
NSAMP_MAX_PER_PKT: int
NCHANNEL: int
SAMP_PER_SNAPSHOT: npt.NDArray[np.uint64]
SAMP_RATE_ENUM: dict[str, float]

def set_rswf(l0: Any, task: Any, is_sbm: bool = False) -> np.ndarray: ...
