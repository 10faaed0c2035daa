"""
Spoke gateway discovery: the controller's gateways of a VPC and, for
each, a test subnet whose default route leads through it.

"""

from __future__ import annotations
import typing

__all__: list[str] = ["Spoke"]

class Spoke:
    """
    One spoke gateway as the controller describes it; its attributes are
    the fields of a spoke test record. The static methods are the spoke
    discovery operations.

    """

    first_private_subnet_cidr: typing.Any
    gw_name: typing.Any
    gw_private_ip: typing.Any
    gw_public_ip: typing.Any
    gw_subnet: typing.Any
    gw_subnet_cidr: typing.Any
    private_subnet_gw_ip: typing.Any
    private_subnets: typing.Any
    transit_name: typing.Any
    @staticmethod
    def createSpoke(info: typing.Any) -> typing.Any:
        """
        Returns a Spoke filled from one gateway entry ``info`` of the
        controller's answer.
        """
    @staticmethod
    def findClassicSpokes(
        args: typing.Any,
        ec2_client: typing.Any,
        controller_api_url: typing.Any,
        CID: typing.Any,
        spoke_gw_name: typing.Any,
    ) -> None:
        """
        The ``cellscan spoke`` run for a classic spoke: finds a test subnet for
        each of its gateways and writes the spoke test config. A failed
        discovery writes no test config and makes the exit status 1. Returns None.
        """
    @staticmethod
    def findHsSpokes(
        args: typing.Any,
        ec2_client: typing.Any,
        controller_api_url: typing.Any,
        CID: typing.Any,
        spoke_gw_name: typing.Any,
    ) -> None:
        """
        As ``findClassicSpokes``, for a spoke in the multi-gateway layout.
        """
    @staticmethod
    def getHsSpokeInfo(api_endpoint_url: typing.Any = "", CID: typing.Any = "", spoke_gw_name: typing.Any = "") -> list:
        """
        Returns the gateways of the spoke ``spoke_gw_name`` in the
        multi-gateway layout as a list of Spoke; unsafe entries are refused
        and left out.
        """
    @staticmethod
    def getSpokeInfo(api_endpoint_url: typing.Any = "", CID: typing.Any = "", spoke_gw_name: typing.Any = "") -> list:
        """
        Returns the classic spoke ``spoke_gw_name`` and its HA peer as a list
        of Spoke; an entry with an unsafe address or name is refused (one
        error line) and left out.
        """
    @staticmethod
    def list_gateway_info(
        api_endpoint_url: typing.Any = "",
        CID: typing.Any = "",
        vpc_access_account_name: typing.Any = "",
        acx_gw_only: typing.Any = "no",
        gw_name: typing.Any = None,
        keyword_for_log: typing.Any = "zor-migration-function---",
    ) -> typing.Any:
        """
        Sends the controller's ``list_vpcs_summary`` request (session ``CID``)
        to ``api_endpoint_url`` and returns the response object.
        """
    def __init__(self) -> None:
        """
        An empty spoke (every field blank).
        """
    def checkStatus(self) -> None:
        """
        Logs whether the spoke was found (its transit name) or not.
        """
    def isDefined(self) -> bool:
        """
        True when the spoke has a private address or a transit name.
        """
    def toDict(self) -> dict:
        """
        The spoke test record of this gateway as a dict.
        """
