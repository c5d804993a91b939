"""QOR for Python: find networked targets, give them addresses, run .QOR scripts on them,
read and write their environment blocks, and run the production station.

The package calls QOR's own engine, the one qorctl and the desktop program use::

    import qor

    script = qor.Script("firmware-update.QOR")
    with qor.Network() as network:
        targets = network.discover(wait=1.0)
        for result in network.run(script, targets):
            print(result.mac, result.outcome, result.error or "")

Classes: Network, Script, Target, RunResult, Environment, EnvironmentDiff, LintWarning.
Errors: Error and its subclasses ScriptError, NetworkError, RunError, RefusedError,
NotFoundError and UsageError, each with QOR's own text.

The engine runs on the calling thread with the GIL released; callbacks (progress, on_unit,
on_note) are called on that thread between its steps. Ctrl-C cancels what runs, as the Cancel
button does, then KeyboardInterrupt is raised.
"""

from ._qor import (
    Environment,
    EnvironmentDiff,
    Error,
    LintWarning,
    Network,
    NetworkError,
    NotFoundError,
    RefusedError,
    RunError,
    RunResult,
    Script,
    ScriptError,
    Target,
    UsageError,
    __version__,
)

__all__ = [
    "Environment",
    "EnvironmentDiff",
    "Error",
    "LintWarning",
    "Network",
    "NetworkError",
    "NotFoundError",
    "RefusedError",
    "RunError",
    "RunResult",
    "Script",
    "ScriptError",
    "Target",
    "UsageError",
    "__version__",
]
