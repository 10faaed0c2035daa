"""
The error of a value that is waited for and not visible yet.
"""

from __future__ import annotations

__all__: list[str] = ["ValueNotFoundException"]

class ValueNotFoundException(Exception):
    """
    A value that is waited for is not visible yet.
    """
