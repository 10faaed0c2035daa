"""
Requests to the controller's REST API.
"""

from __future__ import annotations
import typing

__all__: list[str] = ["REQUEST_TIMEOUT", "RESPONSE_SIZE_LIMIT"]

def _send_brimvale_api(
    api_endpoint_url: typing.Any = "",
    request_method: str = "GET",
    payload: typing.Any = {},
    keyword_for_log: typing.Any = "",
    indent: typing.Any = "",
) -> typing.Any:
    """
    Sends one request (``request_method`` GET with ``payload`` as query
    parameters, POST with it as the form body) to ``api_endpoint_url`` and
    returns the requests Response. The whole exchange is bounded by the sum
    of ``REQUEST_TIMEOUT`` and the answer by ``RESPONSE_SIZE_LIMIT`` bytes;
    beyond either, or on a connection error, it raises.
    """

REQUEST_TIMEOUT: tuple = (10, 60)
RESPONSE_SIZE_LIMIT: int = 16777216
