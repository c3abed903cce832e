"""Stand-in for the pipeline's packet-structure and time library.

Only what the dravel decoders call is provided. A real pipeline installs its own `quorel`;
do not install this distribution beside it.
"""

STANDIN = True
