"""
The ``egresscheck`` command: for every target of an inventory (or one
VPC), discovery, deployment, the wait for the verdicts, reports (console,
JUnit, JSON) and the revert, each stage the real tool in its own
process; a journal lets ``resume`` finish a run that was killed, and
``sweep`` finds what expired runs left.

"""

from __future__ import annotations
import typing

__all__: list[str] = ["LOG_GRACE", "POLL_FIRST", "POLL_MAX", "POLL_STEP", "main", "serve_tools"]

def main() -> None:
    """
    The ``egresscheck`` command: parses ``sys.argv`` and ends the process
    with the run's exit status (0 every verdict PASS and clean-up complete,
    1 a verdict that is not PASS, 2 bad usage or inventory, 3 clean-up
    incomplete, 130/143 interrupted).
    """

def serve_tools(fd: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    The tool server's loop, in a process of its own that the runner starts
    with its end of a Unix packet socket pair ``fd``: forks each stage's tool
    until the runner ends. Not a command of its own.
    """

LOG_GRACE: float = 30.0
POLL_FIRST: float = 10.0
POLL_MAX: float = 30.0
POLL_STEP: float = 5.0
