"""
NAT gateway discovery: for every NAT gateway of a VPC, a test subnet
whose default route leads through it.

"""

from __future__ import annotations
import typing

__all__: list[str] = ["Nat", "NatGwInfo"]

class NatGwInfo:
    """
    One NAT gateway of the VPC and the test subnet chosen for it; its
    attributes are the fields of a NAT test record.

    """

    az: typing.Any
    nat_gw_id: typing.Any
    nat_gw_ip: typing.Any
    nat_gw_public_ip: typing.Any
    private_subnet_cidr: typing.Any
    private_subnet_gw_ip: typing.Any
    private_subnet_id: typing.Any
    private_subnets: typing.Any
    subnet_cidr: typing.Any
    subnet_id: typing.Any
    def __init__(
        self, nat_gw_id: typing.Any, subnet_id: typing.Any, public_ip: typing.Any, private_ip: typing.Any
    ) -> None:
        """
        A gateway ``nat_gw_id`` in the subnet ``subnet_id`` with its public and
        private addresses; no test subnet yet.
        """
    def toDict(self) -> dict:
        """
        The NAT test record of this gateway as a dict (the keys of the test
        config).
        """

class Nat:
    """
    The NAT discovery operations (static methods).
    """
    @staticmethod
    def filterBySubnetInHistory(args: typing.Any, natGwInfos: dict) -> dict:
        """
        Keeps, of ``natGwInfos``, the gateways whose subnet is not yet in the
        backup folder's history file, and returns them as a new dict. A filter
        that keeps no gateway ends the run with status 1.
        """
    @staticmethod
    def findNatGws(args: typing.Any, ec2_client: typing.Any, s3_client: typing.Any) -> None:
        """
        The ``cellscan natgw`` run: discovers the test subnets of ``args.vpc``
        and writes the NAT test config (and its copy in ``args.s3_bucket``).
        No test config is written when no gateway has a test subnet. Returns None.
        """
    @staticmethod
    def get_existing_natgws(ec2_client: typing.Any, nat_gw_tag: typing.Any, vpc: typing.Any) -> list:
        """
        Returns the descriptions of the available public NAT gateways of
        ``vpc`` (with the tag ``nat_gw_tag`` when it is given) as a list.
        """
    @staticmethod
    def get_natgw_infos(ec2_client: typing.Any, vpc: typing.Any) -> dict:
        """
        Returns ``{nat_gw_id: NatGwInfo}`` for the public NAT gateways of
        ``vpc``, each with the subnets whose route table sends the default
        route to it and the first of them as its test subnet.
        """
