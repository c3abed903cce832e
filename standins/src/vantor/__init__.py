"""Stand-in for the pipeline framework (logger and exception report). A real pipeline installs its own `vantor`."""

STANDIN = True
