"""
Controller login.
"""

from __future__ import annotations
import typing

__all__: list[str] = ["get_brimvale_cid"]

def get_brimvale_cid(controller_ip: str, username: typing.Any, password: typing.Any) -> str:
    """
    Logs in to the controller at ``controller_ip`` (the password in the
    request body) and returns the session identifier (CID) as a str. A
    failed or refused login is one error line and ends the run with
    status 1.
    """
