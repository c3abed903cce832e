"""How a run's units of work are run and stopped, below the command line and the archive.

`runner(workers)` or `DaskRunner(address)` give one interface: `check(inputs, folder)`, then
`run(jobs, interrupted, interruptible, recover)` yielding (key, value, error) as units end (as
often as there are units to run; `start()` first starts the workers ahead of them), then
`close()`. `stop` holds the stop flag and the registry of what a run writes and starts;
`child` what every process of a run does first.
"""

from .local import InProcess, LocalPool, runner  # noqa: F401  (the runners, by the package's name)
