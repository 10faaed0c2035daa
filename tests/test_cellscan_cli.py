"""cellscan: command line, output path checks, the session memo, a real discovery."""

import json

import pytest
from conftest import REGION, cli_env, run_cli, tool

from brimvale_testlibs.bin import cellscan
from emulators.topology import nat_vpc

ROLE = "arn:aws:iam::123456789012:role/discovery"


def scan(tmp_path, url, folder, *sub, extra=()):
    argv = [
        tool("cellscan"),
        "--vpc",
        "vpc-0",
        "--assume_role",
        ROLE,
        "--region",
        REGION,
        "--backup_folder",
        folder,
        *extra,
        *(sub or ("natgw",)),
    ]
    return run_cli(argv, tmp_path, cli_env(url))


@pytest.mark.parametrize("folder", ["./out", "/tmp/out", ""])
def test_refused_folders(moto_server, tmp_path, folder):
    r = scan(tmp_path, moto_server, folder)
    assert r.returncode == 1
    assert f'Please remove the beginning "/" or a "." from backup_folder {folder}' in r.stderr
    assert "Traceback" not in r.stderr


def test_existing_config_is_kept(moto_server, tmp_path):
    (tmp_path / "out").mkdir()
    (tmp_path / "out/subnet.config").write_text("kept")
    r = scan(tmp_path, moto_server, "out")
    assert r.returncode == 0
    assert "- Found out/subnet.config" in r.stderr
    assert (tmp_path / "out/subnet.config").read_text() == "kept"


@pytest.mark.parametrize(
    "sub,message",
    [
        ((), "a subcommand is required"),
        (("spoke", "--controller_user", "u"), "spoke needs --controller_ip and --controller_user"),
        (("spoke", "--controller_ip", "127.0.0.1"), "spoke needs --controller_ip and --controller_user"),
    ],
)
def test_refused_like_parser_errors(tmp_path, sub, message):
    argv = [tool("cellscan"), "--vpc", "v", "--assume_role", ROLE, "--region", REGION, "--backup_folder", "b", *sub]
    r = run_cli(argv, tmp_path, cli_env("http://127.0.0.1:9"))
    assert r.returncode == 2 and message in r.stderr
    assert not (tmp_path / "b").exists()


def test_session_memo(aws):
    cellscan.start_aws_session.cache.clear()
    first = cellscan.start_aws_session(ROLE, profile=None)
    assert cellscan.start_aws_session(ROLE, profile=None) is first  # no second STS request
    assert first[1]["AccessKeyId"] == first[0].get_credentials().access_key
    other = cellscan.start_aws_session(ROLE.replace("discovery", "other"), profile=None)
    assert other is not first and len(cellscan.start_aws_session.cache) == 1
    assert cellscan.start_aws_session(ROLE, profile=None) is not first  # the entry was replaced
    assert cellscan.start_aws_session.cache.ttl == 1200


def test_discovery_feeds_deployment(server_clients, tmp_path, http_service):
    c = server_clients
    topo = nat_vpc(c.ec2)
    argv = [
        tool("cellscan"),
        "--vpc",
        topo.vpc,
        "--assume_role",
        ROLE,
        "--region",
        REGION,
        "--backup_folder",
        "runs/a/b",
        "--output_test_config",
        "nat.config",
        "natgw",
    ]
    r = run_cli(argv, tmp_path, cli_env(c.url))
    assert r.returncode == 0, r.stderr
    records = json.loads((tmp_path / "runs/a/b/nat.config").read_text())
    assert [rec["nat_gw_id"] for rec in records] == topo.nats
    assert "cellscan --vpc" in (tmp_path / "runs/a/b/log/brimvale_testlibs.log").read_text()

    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    env = cli_env(c.url, echo.url + "/")
    common = ["--test_config", "runs/a/b/nat.config", "--backup_folder", "runs/a/b", "--region", REGION]
    deploy = run_cli([tool("rollprobe"), *common, "--output_test_config", "runs/a/b/out.config"], tmp_path, env)
    assert deploy.returncode == 0, deploy.stderr
    out = json.loads((tmp_path / "runs/a/b/out.config").read_text())
    assert all("ec2_ip" in rec and "ec2_2nd_private_ip" in rec for rec in out)
    revert = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env)
    assert revert.returncode == 0, revert.stderr
    left = c.ec2.describe_instances(
        Filters=[
            {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]},
            {"Name": "instance-state-name", "Values": ["running", "stopped"]},
        ]
    )
    assert left["Reservations"] == []
    assert c.ec2.describe_key_pairs()["KeyPairs"] == []


@pytest.mark.parametrize(
    "argv,status,text",
    [
        ([], 2, "usage: python -m brimvale_testlibs {rollprobe,cellscan,egresscheck}"),
        (["cellscan", "--help"], 0, "find subnet with spoke gw inside"),
        (["rollprobe", "--help"], 0, "Deploy test EC2 in test subnets"),
    ],
)
def test_module_form(argv, status, text):
    import subprocess
    import sys

    r = subprocess.run([sys.executable, "-m", "brimvale_testlibs", *argv], capture_output=True, text=True, timeout=60)
    assert r.returncode == status
    assert text in r.stdout + r.stderr
