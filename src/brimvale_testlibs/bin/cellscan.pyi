"""
The ``cellscan`` command: discovers a test subnet for every NAT or
spoke gateway of a VPC and writes the test config.

"""

from __future__ import annotations
import typing

__all__: list[str] = ["main", "start_aws_session"]

def main() -> None:
    """
    The ``cellscan`` command: parses ``sys.argv``, runs the ``natgw`` or
    ``spoke`` discovery and ends the process with the run's exit status.
    """

def start_aws_session(assume_role: typing.Any, profile: typing.Any = None) -> typing.Any:
    """
    Opens the discovery session: assumes ``assume_role`` with the
    credentials of ``profile`` and returns ``(session, credentials)``, or
    the text "The AWS new session attempt has failed" (logged). Answers are
    cached for 20 minutes.
    """
