"""The framework's logger (stand-in): a standard `logging` logger named "vantor"."""

import logging

logger = logging.getLogger("vantor")
