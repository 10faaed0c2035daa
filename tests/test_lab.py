"""Verdicts from real packets: a deployment against the emulator, its test
instances' boot scripts run in the egress lab (network namespaces)."""

import json
import os
import subprocess
from pathlib import Path
from types import SimpleNamespace

import boto3
import pytest
from conftest import REGION, cli_env, run_cli, tool

from brimvale_testlibs.bin import rollprobe
from emulators import echo as echo_service
from emulators import moto_server
from emulators.controller import ControllerEmulator
from emulators.topology import controller_entries, nat_vpc, spoke_vpc
from lab import netlab

pytestmark = pytest.mark.slow

ROLE = "arn:aws:iam::123456789012:role/d"
BUCKET = "lab-results"

try:
    netlab.preflight()
    UNAVAILABLE = None
except netlab.LabUnavailable as e:
    UNAVAILABLE = str(e)
needs_lab = pytest.mark.skipif(UNAVAILABLE is not None, reason=f"egress lab: {UNAVAILABLE}")


def lab_artifacts():
    """Everything of the lab that could be left on the host."""
    mounts = [line for line in Path("/proc/mounts").read_text().splitlines() if netlab.PREFIX in line]
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    return {
        "namespaces": [ns for ns in netlab.namespaces() if ns.startswith(netlab.PREFIX)],
        "netns files": [str(p) for p in Path("/etc/netns").glob(netlab.PREFIX + "*")],
        "work folders": [str(p) for p in netlab.WORK_ROOT.glob(netlab.PREFIX + "work-*")],
        "mounts": mounts,
        "veths": [ln for ln in links.splitlines() if ": bv" in ln],
    }


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """NAT gateways in three zones (one test subnet then mis-routed, one
    gateway dropping) and a spoke gateway, deployed, then run in the lab."""
    work = tmp_path_factory.mktemp("lab")
    server, _, port = moto_server.start()
    url = f"http://127.0.0.1:{port}"
    mk = lambda svc: boto3.client(svc, region_name=REGION, endpoint_url=url)  # noqa: E731
    ec2, s3 = mk("ec2"), mk("s3")
    s3.create_bucket(Bucket=BUCKET)
    echo, echo_url = echo_service.start()
    controller = ControllerEmulator().start()
    nat = nat_vpc(ec2, second_octet=60, private_nat=False)
    spoke = spoke_vpc(ec2, name="spoke-lab", second_octet=160, ha=False)
    controller.gateways = controller_entries(spoke)
    env = cli_env(url, echo_url)
    scan = [tool("cellscan"), "--assume_role", ROLE, "--region", REGION]
    configs = {}
    for name, argv in {
        "nat": ["--vpc", nat.vpc, "--backup_folder", "nat", "natgw"],
        "spoke": [
            "--vpc",
            spoke.vpc,
            "--backup_folder",
            "spoke",
            "spoke",
            "--controller_ip",
            controller.address,
            "--controller_user",
            "admin",
            "--controller_password",
            "secret",
            "--spoke_gw_name",
            "spoke-lab",
        ],
    }.items():
        r = run_cli([*scan, *argv], work, env)
        assert r.returncode == 0, r.stderr
        r = run_cli(
            [
                tool("rollprobe"),
                "--test_config",
                f"{name}/subnet.config",
                "--output_test_config",
                f"{name}/out.json",
                "--backup_folder",
                name,
                "--region",
                REGION,
                "--eip",
                "--s3_bucket",
                BUCKET,
            ],
            work,
            env,
        )
        assert r.returncode == 0, r.stderr
        configs[name] = json.loads((work / name / "out.json").read_text())
    good, misrouted, dropping = configs["nat"]
    table = ec2.describe_route_tables(
        Filters=[{"Name": "association.subnet-id", "Values": [misrouted["private_subnet_id"]]}]
    )["RouteTables"][0]
    ec2.replace_route(RouteTableId=table["RouteTableId"], DestinationCidrBlock="0.0.0.0/0", GatewayId=nat.igw)
    records = {"nat": good, "misrouted": misrouted, "dropping": dropping, "spoke": configs["spoke"][0]}

    stale = netlab.PREFIX + "stale"  # as a killed run would leave it
    subprocess.run(["ip", "netns", "add", stale], check=True)
    wheelhouse = netlab.prepare_wheelhouse()
    unbound = {}
    with netlab.Lab(
        url, region=REGION, drop=[dropping["gw_private_ip"]], wheelhouse=wheelhouse, log=lambda *a: None
    ) as lab:
        assert stale not in netlab.namespaces()
        model = lab.build(ec2)
        boots = lab.run_boot_scripts()
        # The same test, probes not bound to the second interface, on the instance of a passing record.
        inst = next(i for i in model.instances if i.second[0] == good["ec2_2nd_private_ip"])
        folder = "/home/ec2-user/python3-env/lib/python*/site-packages/brimvale_testlibs/test_ping"
        probe = (
            "import json, tests; c = json.load(open('config.json')); "
            "print(json.dumps([tests.egress_verdict(c, None), tests.egress_verdict(c, tests.second_interface()[1])]))"
        )
        r = lab.exec_in(inst, f'cd {folder} && /home/ec2-user/python3-env/bin/python3 -c "{probe}" 2>/dev/null')
        unbound = json.loads(r.stdout.strip().splitlines()[-1]) if r.returncode == 0 else r.stderr
    left = lab_artifacts()
    verdicts = {}
    for name, rec in records.items():
        one = work / f"{name}.json"
        one.write_text(json.dumps([rec]))
        verdicts[name] = rollprobe.getS3TestResults(s3, SimpleNamespace(test_config=str(one), s3_bucket=BUCKET))
    logs = {
        name: s3.get_object(Bucket=BUCKET, Key=f"log-{rollprobe.deduceTag(SimpleNamespace(), rec)}.txt")["Body"]
        .read()
        .decode()
        for name, rec in records.items()
    }
    yield SimpleNamespace(verdicts=verdicts, logs=logs, boots=boots, left=left, unbound=unbound, records=records)
    controller.stop()
    for srv in (echo, server):
        srv.shutdown()
        srv.server_close()


@needs_lab
@pytest.mark.parametrize("record,verdict", [("nat", 0), ("spoke", 0), ("misrouted", 1), ("dropping", 1)])
def test_verdict_from_real_packets(fleet, record, verdict):
    assert fleet.verdicts[record] == verdict, fleet.logs[record]


@needs_lab
def test_boot_scripts_really_ran(fleet):
    assert all(status == 0 for status, _ in fleet.boots.values()), fleet.boots
    for name in ("nat", "spoke", "misrouted"):
        log = fleet.logs[name]
        assert "test_egress_path" in log and "Ran 1 test" in log
        assert "traceroute to example.com (203.0.113.10)" in log
    gateway = fleet.records["nat"]["gw_private_ip"]
    assert f" {gateway} " in fleet.logs["nat"]  # the gateway is a hop of the traced path
    assert "100% packet loss" in fleet.logs["dropping"]


@needs_lab
def test_source_binding_is_what_measures_the_test_subnet(fleet):
    unbound, bound = fleet.unbound
    assert unbound[0] is False and "does not go through" in unbound[1]  # left through the primary interface
    assert bound[0] is True


@needs_lab
def test_nothing_of_the_lab_is_left(fleet):
    assert fleet.left == {k: [] for k in fleet.left}


@pytest.mark.parametrize(
    "what,expected",
    [
        ("not root", "needs root"),
        ("no traceroute", "needs traceroute"),
    ],
)
def test_lab_refuses_where_it_cannot_run(monkeypatch, what, expected):
    if what == "not root":
        monkeypatch.setattr(os, "geteuid", lambda: 1000)
    else:
        real = netlab.shutil.which
        monkeypatch.setattr(netlab.shutil, "which", lambda t: None if t == "traceroute" else real(t))
        monkeypatch.setattr(os, "geteuid", lambda: 0)
    with pytest.raises(netlab.LabUnavailable, match=expected):
        netlab.preflight()
