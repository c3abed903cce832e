"""`python -m kesta.dravel`: the dravel command line."""
import sys

from kesta.dravel.cli import main

sys.exit(main())
