"""The two security groups of a VPC."""

import logging

import botocore.exceptions
import pytest
from botocore.stub import Stubber
from conftest import build_vpc, make_args

from brimvale_testlibs.bin import rollprobe

SG, PSG = "brimvale-test-ec2-sg", "brimvale-test-ec2-private-interface-sg"


def group(ec2, gid):
    return ec2.describe_security_groups(GroupIds=[gid])["SecurityGroups"][0]


def test_created_with_single_ssh_rule_and_tags(aws, topology, echo_ip, caplog):
    caplog.set_level(logging.INFO)
    args = make_args(tag_resource="team,net")
    sg = rollprobe.createSG(aws.ec2, topology.vpc, args)
    psg = rollprobe.createPrivateInfSG(aws.ec2, topology.vpc, args)
    rules = group(aws.ec2, sg)["IpPermissions"]
    assert len(rules) == 1
    assert rules[0]["FromPort"] == rules[0]["ToPort"] == 22
    assert rules[0]["IpRanges"] == [{"CidrIp": "203.0.113.7/32", "Description": "SSH access from the workflow engine"}]
    assert group(aws.ec2, psg)["IpPermissions"] == []
    assert group(aws.ec2, sg)["Tags"] == [{"Key": "Name", "Value": SG}, {"Key": "team", "Value": "net"}]
    assert echo_ip.requests[0][1] == "/?format=json"
    assert f"- Create SG {SG} in {topology.vpc}" in caplog.messages
    assert f"  {sg}" in caplog.messages


def test_found_only_in_its_own_vpc(aws, echo_ip):
    a, b = build_vpc(aws.ec2, "10.1.0.0/16"), build_vpc(aws.ec2, "10.2.0.0/16")
    sg_a = rollprobe.createSG(aws.ec2, a.vpc, make_args())
    assert rollprobe.getSgId(aws.ec2, b.vpc, SG) is None
    sg_b = rollprobe.createSG(aws.ec2, b.vpc, make_args())
    assert sg_b != sg_a
    assert rollprobe.getSgId(aws.ec2, a.vpc, SG) == sg_a


def test_dry_run_without_groups_creates_nothing(aws, topology, echo_ip, caplog):
    caplog.set_level(logging.INFO)
    args = make_args(dry_run=True)
    assert rollprobe.createSG(aws.ec2, topology.vpc, args) is None
    assert rollprobe.createPrivateInfSG(aws.ec2, topology.vpc, args) is None
    assert len(echo_ip.requests) == 1  # the SSH group still asks for the address
    names = [g["GroupName"] for g in aws.ec2.describe_security_groups()["SecurityGroups"]]
    assert SG not in names and PSG not in names
    assert f"- Create SG {PSG} in {topology.vpc}" in caplog.messages


def test_dry_run_with_groups_reuses_them(aws, topology, echo_ip, caplog):
    sg = rollprobe.createSG(aws.ec2, topology.vpc, make_args())
    psg = rollprobe.createPrivateInfSG(aws.ec2, topology.vpc, make_args())
    caplog.set_level(logging.INFO)
    caplog.clear()
    args = make_args(dry_run=True)
    assert rollprobe.createSG(aws.ec2, topology.vpc, args) == sg
    assert rollprobe.createPrivateInfSG(aws.ec2, topology.vpc, args) == psg
    assert caplog.messages == [
        f"- Reuse existing SG {SG} {sg} in {topology.vpc}",
        f"- Reuse existing SG {PSG} {psg} in {topology.vpc}",
    ]


def test_delete_in_dry_run_makes_no_call(aws):
    with Stubber(aws.ec2) as stub:
        rollprobe.deleteSG(aws.ec2, "sg-1", make_args(dry_run=True))
        stub.assert_no_pending_responses()


@pytest.mark.parametrize(
    "answer,why", [((200, {"no": "ip"}), "its answer holds no IPv4 address"), ((500, "down"), "500 Server Error")]
)
def test_echo_service_failure_ends_the_run(aws, topology, http_service, monkeypatch, caplog, capsys, answer, why):
    srv = http_service({("GET", "/"): answer})
    monkeypatch.setattr(rollprobe, "PUBLIC_IP_URL", srv.url + "/")
    with pytest.raises(SystemExit) as ended:
        rollprobe.createSG(aws.ec2, topology.vpc, make_args())
    assert ended.value.code == 1
    assert rollprobe.getSgId(aws.ec2, topology.vpc, SG) is None
    # One line naming the service and what to do; no library traceback.
    errors = [m for m in caplog.messages if "**Error**" in m]
    assert len(errors) == 1 and f"echo service {srv.url}/ ({why}" in errors[0] and "let this host reach" in errors[0]
    assert "Traceback" not in capsys.readouterr().err


def rule(cidr, port=22, protocol="tcp"):
    return {"IpProtocol": protocol, "FromPort": port, "ToPort": port, "IpRanges": [{"CidrIp": cidr}]}


@pytest.mark.parametrize(
    "name,rules,problem",
    [
        (SG, [rule("0.0.0.0/0")], "its inbound rule admits 0.0.0.0/0, not one address (/32)"),
        (SG, [rule("198.51.100.7/32"), rule("198.51.100.8/32", port=3389)], "it has 2 inbound rules, not one"),
        (SG, [rule("198.51.100.7/32", port=80)], "is not a single TCP port-22 rule from one address"),
        (PSG, [rule("10.0.0.0/8", port=443)], "it has inbound rules"),
        (SG, [rule("198.51.100.7/32")], None),  # made by the tool on another host: reused
        (PSG, [], None),
    ],
)
def test_planted_group_is_neither_reused_nor_deleted(aws, topology, echo_ip, caplog, name, rules, problem):
    gid = aws.ec2.create_security_group(GroupName=name, Description="planted", VpcId=topology.vpc)["GroupId"]
    if rules:
        aws.ec2.authorize_security_group_ingress(GroupId=gid, IpPermissions=rules)
    create = rollprobe.createSG if name == SG else rollprobe.createPrivateInfSG
    caplog.set_level(logging.INFO)
    if problem is None:
        assert create(aws.ec2, topology.vpc, make_args()) == gid
        rollprobe.removeSharedResources(aws.ec2, topology.vpc, make_args())
        assert rollprobe.getSgId(aws.ec2, topology.vpc, name) is None
        return
    with pytest.raises(SystemExit):
        create(aws.ec2, topology.vpc, make_args())
    errors = [m for m in caplog.messages if "**Error**" in m]
    assert len(errors) == 1 and f"SG {name} {gid} in {topology.vpc} was not made by this tool: " in errors[0]
    assert problem in errors[0] and errors[0].endswith("; remove or rename it")
    rollprobe.removeSharedResources(aws.ec2, topology.vpc, make_args())
    assert rollprobe.getSgId(aws.ec2, topology.vpc, name) == gid
    assert any(m.startswith(f"  **Alert** SG {name} {gid} kept: it was not made by this tool") for m in caplog.messages)


def test_lookup_not_found_reads_as_missing(aws, caplog):
    stub = Stubber(aws.ec2)
    stub.add_client_error("describe_security_groups", "InvalidGroup.NotFound")
    with stub:
        assert rollprobe.getSgId(aws.ec2, "vpc-1", SG) is None
    assert f"  **Error** SG not found {SG} in vpc-1" in caplog.messages


def test_lookup_refusal_is_not_a_missing_group(aws):
    # No permission to look must not read as "no group" (a second group would follow).
    stub = Stubber(aws.ec2)
    stub.add_client_error("describe_security_groups", "UnauthorizedOperation")
    with stub, pytest.raises(botocore.exceptions.ClientError):
        rollprobe.getSgId(aws.ec2, "vpc-1", SG)
