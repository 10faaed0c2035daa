"""
Run-wide settings.
"""

from __future__ import annotations
import typing

__all__: list[str] = ["Globals"]

class Globals:
    """
    Run-wide settings, read and assigned as class attributes:
    ``dry_run`` (bool) and ``TEST_CONFIG`` (the test config's path).

    """

    TEST_CONFIG: typing.ClassVar[str] = ""
    dry_run: typing.ClassVar[bool] = False
    def __init__(self) -> None:
        """
        An instance; the settings are read and assigned on the class.
        """
