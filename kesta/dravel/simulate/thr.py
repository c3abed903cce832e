"""The THR simulator under its former single name: re-exports `thr_encoding` (bit layout,
encoders, packet descriptions, packet groups), `thr_expected` (expected records),
`thr_random` (random packets and cases) and `thr_demo` (demo groups)."""
from .thr_demo import *  # noqa: F401,F403
from .thr_encoding import *  # noqa: F401,F403
from .thr_expected import *  # noqa: F401,F403
from .thr_expected import Time, _tnr  # noqa: F401
from .thr_random import *  # noqa: F401,F403
from .thr_random import random_time as _rand_time  # noqa: F401
