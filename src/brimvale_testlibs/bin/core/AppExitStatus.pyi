"""
The process exit status both tools end with.
"""

from __future__ import annotations
import typing

__all__: list[str] = ["AppExitStatus"]

class AppExitStatus:
    """
    The process-wide exit status: starts at 0 and only rises.
    """
    @staticmethod
    def raiseStatus(value: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Raises the exit status to ``value`` when that is higher.
        """
    @staticmethod
    def reset() -> None:
        """
        Sets the exit status back to 0 (a new run in one process).
        """
    def __init__(self) -> None:
        """
        A handle on the process-wide status (all handles share it).
        """
    def getStatus(self) -> int:
        """
        The exit status so far.
        """
