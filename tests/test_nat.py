"""NAT gateway discovery in process against moto (Stubber where the request matters)."""

import json
import logging
from types import SimpleNamespace

import pytest
from botocore.stub import Stubber
from faults import count_calls

from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus
from brimvale_testlibs.bin.core.Globals import Globals
from brimvale_testlibs.bin.lib.nat import Nat, NatGwInfo
from emulators.topology import nat_vpc


@pytest.fixture
def discovery(aws, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "b").mkdir()
    Globals.TEST_CONFIG = "b/subnet.config"

    def run(topo, s3_bucket=None):
        args = SimpleNamespace(vpc=topo.vpc, backup_folder="b", output_test_config="subnet.config", s3_bucket=s3_bucket)
        Nat.findNatGws(args, aws.ec2, aws.s3)
        return json.loads((tmp_path / "b/subnet.config").read_text())

    return run


def test_record_layout():
    info = NatGwInfo("nat-1", "subnet-1", "198.51.100.1", "10.0.0.5")
    assert info.toDict() == {
        "nat_gw_id": "nat-1",
        "gw_private_ip": "10.0.0.5",
        "gw_public_ip": "198.51.100.1",
        "gw_subnet_id": "subnet-1",
        "gw_subnet_cidr": None,
        "private_subnet_id": "",
        "private_subnet_cidr": "",
        "private_subnet_gw_ip": "",
    }
    assert NatGwInfo(nat_gw_id="n", subnet_id="s", public_ip="p", private_ip="q").toDict()["gw_public_ip"] == "p"


def test_one_record_per_public_nat_gateway(aws, discovery, tmp_path, caplog):
    caplog.set_level(logging.INFO)
    topo = nat_vpc(aws.ec2, private_per_zone=2)
    calls = count_calls(aws.ec2)
    records = discovery(topo)
    assert [r["nat_gw_id"] for r in records] == topo.nats  # the private NAT gateway is ignored
    for rec, public, privates, _zone in zip(records, topo.public, topo.private, topo.zones):
        assert rec["gw_subnet_id"] == public
        assert rec["private_subnet_id"] == privates[0]
        net = rec["private_subnet_cidr"].rsplit(".", 1)[0]
        assert rec["private_subnet_gw_ip"] == net + ".1"
        assert list(rec) == [
            "nat_gw_id",
            "gw_private_ip",
            "gw_public_ip",
            "gw_subnet_id",
            "gw_subnet_cidr",
            "private_subnet_id",
            "private_subnet_cidr",
            "private_subnet_gw_ip",
        ]
    text = (tmp_path / "b/subnet.config").read_text()
    assert text == json.dumps(records, indent=2) + "\n"
    assert caplog.messages[-2:] == ["test.config:", text[:-1]]
    assert calls == ["DescribeNatGateways", "DescribeSubnets", "DescribeRouteTables"] + ["DescribeSubnets"] * 3


def test_only_private_nat_gateways(aws, discovery, tmp_path, caplog):
    vpc = aws.ec2.create_vpc(CidrBlock="10.9.0.0/16")["Vpc"]["VpcId"]
    subnet = aws.ec2.create_subnet(VpcId=vpc, CidrBlock="10.9.0.0/24")["Subnet"]["SubnetId"]
    aws.ec2.create_nat_gateway(SubnetId=subnet, ConnectivityType="private")
    with pytest.raises(SystemExit) as ended:
        discovery(SimpleNamespace(vpc=vpc))
    assert ended.value.code == 1
    assert f"  **Error** No available public NAT gateway found in {vpc}" in caplog.messages
    assert not (tmp_path / "b/subnet.config").exists()


def nat(gid, subnet, kind="public", state="available"):
    return {
        "NatGatewayId": gid,
        "State": state,
        "SubnetId": subnet,
        "ConnectivityType": kind,
        "NatGatewayAddresses": [{"PublicIp": "198.51.100.1", "PrivateIp": "10.0.0.9"}],
    }


def test_two_public_nat_gateways_in_one_subnet(aws, caplog):
    """One gateway of a subnet is tested; the other is named (status 1), as is every gateway left out.
    The listing comes in two pages."""
    caplog.set_level(logging.INFO)
    stub = Stubber(aws.ec2)
    stub.add_response(
        "describe_nat_gateways",
        {
            "NatGateways": [nat("nat-a", "s-1"), nat("nat-b", "s-1"), nat("nat-p", "s-3", kind="private")],
            "NextToken": "t",
        },
    )
    stub.add_response(
        "describe_nat_gateways", {"NatGateways": [nat("nat-c", "s-2"), nat("nat-d", "s-4", state="pending")]}
    )
    stub.add_response(
        "describe_subnets",
        {
            "Subnets": [
                {"SubnetId": "s-1", "CidrBlock": "10.0.0.0/24", "AvailabilityZone": "z1"},
                {"SubnetId": "s-2", "CidrBlock": "10.0.1.0/24", "AvailabilityZone": "z2"},
            ]
        },
        {"SubnetIds": ["s-1", "s-2"]},
    )
    with stub:
        infos = Nat.get_natgw_infos(aws.ec2, "vpc-1")
    assert list(infos) == ["nat-b", "nat-c"]
    assert infos["nat-b"].subnet_cidr == "10.0.0.0/24" and infos["nat-c"].az == "z2"
    assert AppExitStatus().getStatus() == 1
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert errors == ["  **Error** NAT gateway nat-a is not tested: nat-b shares its subnet s-1 and is tested instead"]
    assert "  NAT gateway nat-p left out: it is private (no public address)" in caplog.messages
    assert "  NAT gateway nat-d left out: it is pending, not available" in caplog.messages


@pytest.mark.parametrize(
    "tag,extra",
    [
        (None, []),
        ("team:net", [{"Name": "tag:team", "Values": ["net"]}]),
        ("team:net:rest", [{"Name": "tag:team", "Values": ["net"]}]),
    ],
)
def test_tag_filter_request(aws, tag, extra):
    stub = Stubber(aws.ec2)
    stub.add_response(
        "describe_nat_gateways",
        {"NatGateways": []},
        {"Filters": [{"Name": "vpc-id", "Values": ["vpc-1"]}, {"Name": "state", "Values": ["available"]}, *extra]},
    )
    with stub:
        assert Nat.get_existing_natgws(aws.ec2, tag, "vpc-1") == []
    stub.assert_no_pending_responses()


def test_tag_without_value_is_refused(aws):
    with Stubber(aws.ec2), pytest.raises(ValueError, match="<key>:<value>"):
        Nat.get_existing_natgws(aws.ec2, "team", "vpc-1")


@pytest.mark.parametrize("kept", [[0, 2], []])
def test_history_filter(aws, discovery, tmp_path, caplog, kept):
    topo = nat_vpc(aws.ec2, private_nat=False)
    history = {"natgws": [{"subnet_id": topo.public[i], "other": 1} for i in kept], "runs": 3}
    (tmp_path / "b/history.json").write_text(json.dumps(history))
    caplog.set_level(logging.INFO)
    if kept:
        records = discovery(topo)
        assert [r["nat_gw_id"] for r in records] == [topo.nats[i] for i in kept]
        # Every gateway the history leaves out is named with the reason.
        left_out = [m for m in caplog.messages if "left out: its subnet" in m and "is not in history file" in m]
        assert len(left_out) == len(topo.nats) - len(kept)
        return
    # A history that keeps nothing leaves nothing to test: a failure, no file.
    with pytest.raises(SystemExit) as ended:
        discovery(topo)
    assert ended.value.code == 1
    assert (
        f"  **Error** no public NAT gateway of {topo.vpc} has its subnet in history file b/history.json"
        in caplog.messages
    )
    assert not (tmp_path / "b/subnet.config").exists()


@pytest.mark.parametrize(
    "content,problem",
    [
        ("{", "cannot read history file b/history.json"),
        ('{"runs": []}', 'has no "natgws" list'),
        ('{"natgws": [{"id": 1}]}', 'has no "subnet_id"'),
        ('{"natgws": 5}', "is not a list"),
    ],
)
def test_bad_history_writes_nothing(aws, discovery, tmp_path, caplog, content, problem):
    topo = nat_vpc(aws.ec2, private_nat=False, zones=["us-east-1a"])
    (tmp_path / "b/history.json").write_text(content)
    with pytest.raises(SystemExit) as ended:
        discovery(topo)
    assert ended.value.code == 1
    errors = [m for m in caplog.messages if m.startswith("  **Error** ")]
    assert len(errors) == 1 and problem in errors[0]
    assert not (tmp_path / "b/subnet.config").exists()


def test_first_subnet_in_the_right_zone_wins(aws, discovery):
    ec2 = aws.ec2
    topo = nat_vpc(ec2, zones=["us-east-1a"], private_per_zone=0, private_nat=False)
    other = ec2.create_subnet(VpcId=topo.vpc, CidrBlock="10.0.50.0/24", AvailabilityZone="us-east-1b")["Subnet"]
    first = ec2.create_subnet(VpcId=topo.vpc, CidrBlock="10.0.51.0/24", AvailabilityZone="us-east-1a")["Subnet"]
    second = ec2.create_subnet(VpcId=topo.vpc, CidrBlock="10.0.52.0/24", AvailabilityZone="us-east-1a")["Subnet"]
    # Route tables name the later subnet first; the subnet listing decides.
    for subnet in (second, other, first):
        rt = ec2.create_route_table(VpcId=topo.vpc)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rt, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=topo.nats[0])
        ec2.associate_route_table(RouteTableId=rt, SubnetId=subnet["SubnetId"])
    [record] = discovery(topo)
    assert record["private_subnet_id"] == first["SubnetId"]
    assert record["private_subnet_gw_ip"] == "10.0.51.1"


@pytest.mark.parametrize("case", ["no route", "other zone"])
def test_no_test_subnet_writes_nothing(aws, discovery, tmp_path, caplog, case):
    ec2 = aws.ec2
    topo = nat_vpc(ec2, zones=["us-east-1a"], private_per_zone=0, private_nat=False)
    if case == "other zone":
        subnet = ec2.create_subnet(VpcId=topo.vpc, CidrBlock="10.0.60.0/24", AvailabilityZone="us-east-1b")
        rt = ec2.create_route_table(VpcId=topo.vpc)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rt, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=topo.nats[0])
        ec2.associate_route_table(RouteTableId=rt, SubnetId=subnet["Subnet"]["SubnetId"])
    with pytest.raises(SystemExit) as ended:
        discovery(topo)
    assert ended.value.code == 1
    expected = f"  **Error** cannot find a private subnet that points to NAT gw {topo.nats[0]}"
    if case == "other zone":
        expected += " in the same AZ us-east-1a"
    assert expected in caplog.messages
    assert not (tmp_path / "b/subnet.config").exists()


def test_backups_only_with_a_bucket(aws, discovery, tmp_path):
    topo = nat_vpc(aws.ec2, zones=["us-east-1a"], private_nat=False)
    (tmp_path / "b/log").mkdir()
    (tmp_path / "b/log/brimvale_testlibs.log").write_text("log")
    s3_calls = count_calls(aws.s3)
    discovery(topo)
    assert s3_calls == []
    aws.s3.create_bucket(Bucket="backups")
    (tmp_path / "b/subnet.config").unlink()
    discovery(topo, s3_bucket="backups")
    keys = [o["Key"] for o in aws.s3.list_objects_v2(Bucket="backups")["Contents"]]
    assert sorted(keys) == ["b/log/brimvale_testlibs.log", "b/subnet.config"]


def test_only_the_default_route_counts(aws, discovery, tmp_path, caplog):
    """A table that sends only some destinations through the gateway does not make its subnets test subnets."""
    topo = nat_vpc(aws.ec2, second_octet=60, zones=["us-east-1a"], private_nat=False)
    table = aws.ec2.describe_route_tables(Filters=[{"Name": "association.subnet-id", "Values": [topo.private[0][0]]}])[
        "RouteTables"
    ][0]["RouteTableId"]
    aws.ec2.delete_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0")
    aws.ec2.create_route(RouteTableId=table, DestinationCidrBlock="198.51.100.0/24", NatGatewayId=topo.nats[0])
    with pytest.raises(SystemExit):
        discovery(SimpleNamespace(vpc=topo.vpc))
    assert f"  **Error** cannot find a private subnet that points to NAT gw {topo.nats[0]}" in caplog.messages
    assert not (tmp_path / "b/subnet.config").exists()
