"""Test instances and the fleet, in process against moto."""

import json
import logging
from pathlib import Path

import pytest
from conftest import build_vpc, make_args, nat_record
from faults import count_calls, fail_first

from brimvale_testlibs.bin import rollprobe
from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus
from emulators.moto_ext import DEFAULT_AMI_ID

CREATES = {
    "RunInstances",
    "CreateNetworkInterface",
    "AttachNetworkInterface",
    "AllocateAddress",
    "AssociateAddress",
    "CreateTags",
    "CreateSecurityGroup",
    "CreateKeyPair",
}


@pytest.fixture
def fleet(aws, tmp_path, monkeypatch, sleeps, echo_ip):
    monkeypatch.chdir(tmp_path)

    def make(pairs=1, records=None, **opts):
        topo = build_vpc(aws.ec2, pairs=pairs)
        recs = records(topo) if records else [nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]
        (tmp_path / "in.json").write_text(json.dumps(recs))
        args = make_args(test_config="in.json", output_test_config="out.json", **opts)
        return topo, args

    return make


def deploy(aws, args):
    rollprobe.deployEc2s(aws.ec2, aws.s3, aws.iam, DEFAULT_AMI_ID, args)
    with open(args.output_test_config) as f:
        return json.load(f)


def describe_instance(aws, iid):
    return aws.ec2.describe_instances(InstanceIds=[iid])["Reservations"][0]["Instances"][0]


@pytest.mark.parametrize("eip", [False, True])
def test_first_run_builds_everything(aws, fleet, eip):
    topo, args = fleet(tag_resource="team,net", eip=eip, ec2_role="default")
    out = deploy(aws, args)
    gw, priv, cidr = topo.pairs[0]
    rec = out[0]
    assert list(rec)[-2:] == ["ec2_ip", "ec2_2nd_private_ip"]
    iid, public_ip, second = rollprobe.getEc2(aws.ec2, gw)
    assert rec["ec2_ip"] == public_ip
    assert second["SubnetId"] == priv and rec["ec2_2nd_private_ip"] == second["PrivateIpAddress"]
    inst = describe_instance(aws, iid)
    assert {"Key": "Name", "Value": "brimvale-test-ec2"} in inst["Tags"]
    assert inst["KeyName"] == f"brimvale-test-ec2-key-pair-{topo.vpc}"
    assert inst["IamInstanceProfile"]["Arn"].endswith("/brimvale-test-ec2-instance-profile")
    public_eni = [i for i in inst["NetworkInterfaces"] if i["SubnetId"] == gw][0]
    tags = aws.ec2.describe_network_interfaces(NetworkInterfaceIds=[public_eni["NetworkInterfaceId"]])[
        "NetworkInterfaces"
    ][0]["TagSet"]
    assert tags == [{"Key": "Name", "Value": "brimvale-test-ec2-network-interface"}, {"Key": "team", "Value": "net"}]
    addresses = aws.ec2.describe_addresses()["Addresses"]
    assert [a["PublicIp"] for a in addresses] == ([public_ip] if eip else [])
    assert AppExitStatus().getStatus() == 0


def test_second_run_creates_nothing(aws, fleet, caplog):
    topo, args = fleet(pairs=2, eip=True)
    first = deploy(aws, args)
    calls = count_calls(aws.ec2)
    second = deploy(aws, args)
    assert not CREATES & set(calls), calls
    assert [(r["ec2_ip"], r["ec2_2nd_private_ip"]) for r in second] == [
        (r["ec2_ip"], r["ec2_2nd_private_ip"]) for r in first
    ]


def test_boot_script_carries_the_record(aws, fleet):
    import base64

    topo, args = fleet(s3_bucket="results")
    deploy(aws, args)
    iid = rollprobe.getEc2(aws.ec2, topo.pairs[0][0])[0]
    data = aws.ec2.describe_instance_attribute(InstanceId=iid, Attribute="userData")["UserData"]["Value"]
    script = base64.b64decode(data).decode()
    assert '"spoke_gw": "10.0.0.10"' in script
    assert "s3://results/result-nat-00000000000000000-.txt" in script


def test_stopped_instance_gets_no_public_address(aws, fleet):
    topo, args = fleet()
    deploy(aws, args)
    iid = rollprobe.getEc2(aws.ec2, topo.pairs[0][0])[0]
    aws.ec2.stop_instances(InstanceIds=[iid])
    out = deploy(aws, args)
    assert "ec2_ip" not in out[0] and "ec2_2nd_private_ip" in out[0]
    assert AppExitStatus().getStatus() == 1


def test_role_without_profile_ends_only_the_worker(aws, fleet, caplog):
    aws.iam.create_role(RoleName="bare", AssumeRolePolicyDocument="{}")
    topo, args = fleet(pairs=2, ec2_role="bare")
    out = deploy(aws, args)
    assert caplog.messages.count("  **Error** no instance profile found for role bare") == 2
    assert all("ec2_ip" not in r for r in out)
    assert aws.ec2.describe_instances()["Reservations"] == []
    errors = [m for m in caplog.messages if m.startswith("  **Error** test instance for ")]
    assert len(errors) == 2 and AppExitStatus().getStatus() == 1


def test_named_role_with_profile_is_assigned(aws, fleet, caplog):
    aws.iam.create_role(RoleName="tester", AssumeRolePolicyDocument="{}")
    aws.iam.create_instance_profile(InstanceProfileName="tester")
    aws.iam.add_role_to_instance_profile(InstanceProfileName="tester", RoleName="tester")
    topo, args = fleet(ec2_role="tester")
    deploy(aws, args)
    assert "- Assign role tester to brimvale-test-ec2" in caplog.messages
    iid = rollprobe.getEc2(aws.ec2, topo.pairs[0][0])[0]
    assert describe_instance(aws, iid)["IamInstanceProfile"]["Arn"].endswith("/tester")


def test_profile_not_ready_is_retried(aws, fleet, sleeps, caplog):
    topo, args = fleet()
    counter = fail_first(
        aws.ec2,
        "RunInstances",
        "InvalidParameterValue",
        2,
        "Value (brimvale-test-ec2-instance-profile) for parameter iamInstanceProfile.name is invalid",
    )
    out = deploy(aws, args)
    assert counter["calls"] == 3 and sleeps.count(10) == 2
    assert (
        caplog.messages.count("  Instance profile brimvale-test-ec2-instance-profile is not ready, retry in 10 sec")
        == 2
    )
    assert "ec2_ip" in out[0]


def test_skipped_records(aws, fleet, caplog):
    def records(topo):
        nat = nat_record(*topo.pairs[0])
        nat["private_subnet_id"] = ""
        spoke = {
            "gw_name": "spoke-1",
            "gw_private_ip": "10.0.0.9",
            "gw_subnet_id": topo.pairs[0][0],
            "gw_subnet_cidr": "10.0.0.0/24",
            "private_subnet_id": "",
            "private_subnet_cidr": "",
            "private_subnet_gw_ip": "",
        }
        return [nat, spoke]

    topo, args = fleet(records=records)
    out = deploy(aws, args)
    assert out == json.loads(Path("in.json").read_text())
    assert "  **Error** Skip nat-00000000000000000 -- private_subnet_id not defined" in caplog.messages
    assert "  **Error** Skip spoke-1 -- private_subnet_id not defined" in caplog.messages
    assert aws.ec2.describe_instances()["Reservations"] == []
    names = [g["GroupName"] for g in aws.ec2.describe_security_groups()["SecurityGroups"]]
    assert "brimvale-test-ec2-sg" in names  # shared resources are still made
    caplog.clear()
    rollprobe.terminateEc2s(aws.ec2, aws.iam, args)
    assert not any("Skip" in m for m in caplog.messages)


def test_dry_runs_create_nothing(aws, fleet):
    topo, args = fleet(pairs=2, dry_run=True, eip=True)
    calls = count_calls(aws.ec2)
    out = deploy(aws, args)
    assert not CREATES & set(calls)
    assert all("ec2_ip" not in r for r in out)
    assert AppExitStatus().getStatus() == 0


def test_revert_removes_everything(aws, fleet, caplog):
    topo, args = fleet(pairs=3, eip=True, ec2_role="default", tag_resource="team,net")
    deploy(aws, args)
    caplog.set_level(logging.INFO)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, args)
    rollprobe.deleteInstanceProfile(aws.iam)
    assert rollprobe.getAllEc2InVpc(aws.ec2, topo.vpc) is None
    enis = aws.ec2.describe_network_interfaces(Filters=[{"Name": "vpc-id", "Values": [topo.vpc]}])["NetworkInterfaces"]
    assert [e for e in enis if e["Status"] != "available" or e.get("TagSet")] == []
    assert aws.ec2.describe_addresses()["Addresses"] == []
    names = [g["GroupName"] for g in aws.ec2.describe_security_groups()["SecurityGroups"]]
    assert not {"brimvale-test-ec2-sg", "brimvale-test-ec2-private-interface-sg"} & set(names)
    assert aws.ec2.describe_key_pairs()["KeyPairs"] == []
    assert aws.iam.list_roles()["Roles"] == []


def test_revert_keeps_shared_resources_while_instances_remain(aws, fleet, caplog):
    topo, args = fleet(pairs=2)
    deploy(aws, args)
    # A test instance outside the config keeps the VPC's shared resources.
    with open("in.json") as f:
        records = json.load(f)
    with open("first.json", "w") as f:
        json.dump(records[:1], f)
    args.test_config = "first.json"
    caplog.set_level(logging.INFO)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, args)
    assert f"- Keep the shared resources of {topo.vpc}: 1 test instance(s) remain" in caplog.messages
    assert len(aws.ec2.describe_key_pairs()["KeyPairs"]) == 1


@pytest.mark.parametrize(
    "content,problem",
    [
        (None, "cannot be read"),
        ("{not json", "is not JSON"),
        ('{"a": 1}', "is not a JSON list"),
        ("[]", "holds no test record"),
        ('[{"private_subnet_id": "s"}]', "record 0 has no gw_subnet_id"),
        ('[{"gw_subnet_id": "s"}]', "record 0 has no private_subnet_id"),
        ('[{"gw_subnet_id": 5, "private_subnet_id": "s"}]', "record 0 has no gw_subnet_id"),
        ('["x"]', "record 0 is not a JSON object"),
    ],
)
def test_bad_test_config_is_refused(aws, tmp_path, monkeypatch, caplog, content, problem):
    monkeypatch.chdir(tmp_path)
    if content is not None:
        (tmp_path / "in.json").write_text(content)
    calls = count_calls(aws.ec2)
    with pytest.raises(SystemExit) as ended:
        rollprobe.deployEc2s(
            aws.ec2, aws.s3, aws.iam, DEFAULT_AMI_ID, make_args(test_config="in.json", output_test_config="out.json")
        )
    assert ended.value.code == 1 and calls == []
    errors = [m for m in caplog.messages if m.startswith("  **Error** test config in.json: ")]
    assert len(errors) == 1 and problem in errors[0]
    assert not (tmp_path / "out.json").exists()


def test_revert_with_eip_of_a_fleet_without_elastic_ips(aws, fleet, caplog):
    topo, args = fleet(pairs=2)
    deploy(aws, args)
    args.eip = True
    rollprobe.terminateEc2s(aws.ec2, aws.iam, args)
    assert rollprobe.getAllEc2InVpc(aws.ec2, topo.vpc) is None
    assert not [m for m in caplog.messages if m.startswith("- Delete EIP")]
    assert AppExitStatus().getStatus() == 0


def test_revert_keeps_shared_resources_when_instances_cannot_be_listed(aws, fleet, caplog):
    topo, args = fleet()
    deploy(aws, args)

    def fail_vpc_listing(params, **_):
        if "vpc-id" in str(params.get("body")):  # only the VPC-wide listing fails
            from faults import error_response

            return error_response("RequestLimitExceeded")

    aws.ec2.meta.events.register("before-call.ec2.DescribeInstances", fail_vpc_listing)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, args)
    assert f"  **Error** cannot list the test instances of {topo.vpc}: shared resources kept" in caplog.messages
    assert len(aws.ec2.describe_key_pairs()["KeyPairs"]) == 1
