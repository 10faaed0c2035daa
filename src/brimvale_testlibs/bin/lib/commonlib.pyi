"""
Log set-up and the record of a run's command line.
"""

from __future__ import annotations

__all__: list[str] = ["Common"]

class Common:
    """
    The tools' log helpers (static methods).
    """
    @staticmethod
    def initLogLocation(folder: str) -> None:
        """
        Sets up the package's log: the console, and ``<folder>/log.txt`` when
        ``folder`` is a sound backup folder (opened without following a
        symbolic link). Returns None.
        """
    @staticmethod
    def logCommandOptions(command: str, secret: str = "") -> None:
        """
        Logs the command line ``command`` with the controller password masked:
        the value of any abbreviation of ``--controller_pass`` and every
        occurrence of ``secret``.
        """
