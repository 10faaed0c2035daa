"""Survival under faults: throttling, a killed run, a refused subnet, a broken controller."""

import json
import signal
import subprocess
import time

import pytest
import requests
from conftest import REGION, build_vpc, cli_env, nat_record, run_cli, run_main, spoke_scan_args, tool
from test_e2e_rollprobe import inventory

from brimvale_testlibs.bin import cellscan
from brimvale_testlibs.bin.lib import zor_https


def stats(url):
    return requests.get(url + "/__stats__").json()


def setup_fleet(c, tmp_path, http_service, pairs):
    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    topo = build_vpc(c.ec2, pairs=pairs)
    records = [nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]
    (tmp_path / "in.json").write_text(json.dumps(records))
    env = cli_env(c.url, echo.url + "/")
    common = ["--test_config", "in.json", "--backup_folder", "b", "--region", REGION, "--eip"]
    return topo, records, env, common


def test_throttled_deployment_completes_and_reverts(server_clients, tmp_path, http_service, faults):
    c = server_clients
    topo, records, env, common = setup_fleet(c, tmp_path, http_service, 32)
    faults(ec2_throttle=0.1)
    deploy = run_cli([tool("rollprobe"), *common, "--output_test_config", "out.json"], tmp_path, env, timeout=600)
    throttled = stats(c.url)["throttled"]
    faults(ec2_throttle=0.1)
    revert = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env, timeout=600)
    throttled += stats(c.url)["throttled"]
    faults(ec2_throttle=0)
    assert deploy.returncode == 0, deploy.stderr[-3000:]
    out = json.loads((tmp_path / "out.json").read_text())
    assert len(out) == 32 and all("ec2_ip" in r and "ec2_2nd_private_ip" in r for r in out)
    assert revert.returncode == 0, revert.stderr[-3000:]
    assert throttled > 20  # the emulator really refused requests
    assert inventory(c, topo.vpc) == {k: [] for k in inventory(c, topo.vpc)}


def test_killed_deployment_is_reverted_completely(server_clients, tmp_path, http_service, faults):
    c = server_clients
    topo, records, env, common = setup_fleet(c, tmp_path, http_service, 8)
    faults(latency=0.05)
    proc = subprocess.Popen(
        [tool("rollprobe"), *common, "--output_test_config", "out.json"],
        cwd=tmp_path,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ops = stats(c.url)["operations"]
        if ops.get("ec2:CreateNetworkInterface", 0) >= 3:
            break
        time.sleep(0.05)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    faults(latency=0)
    made = inventory(c, topo.vpc)
    assert made["instances"] and made["addresses"] and made["groups"] and made["key_pairs"]
    assert not (tmp_path / "out.json").exists()
    revert = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env)
    assert revert.returncode == 0, revert.stderr[-3000:]
    assert inventory(c, topo.vpc) == {k: [] for k in made}


def test_one_refused_subnet_fails_only_its_record(server_clients, tmp_path, http_service):
    c = server_clients
    topo, records, env, common = setup_fleet(c, tmp_path, http_service, 3)
    records.insert(
        1,
        dict(
            records[0],
            nat_gw_id="nat-bad",
            private_subnet_id="subnet-00000000000000bad",
            gw_subnet_id=c.ec2.create_subnet(VpcId=topo.vpc, CidrBlock="10.0.200.0/24")["Subnet"]["SubnetId"],
        ),
    )
    (tmp_path / "in.json").write_text(json.dumps(records))
    r = run_cli([tool("rollprobe"), *common, "--output_test_config", "out.json"], tmp_path, env)
    assert r.returncode == 1
    out = json.loads((tmp_path / "out.json").read_text())
    good = [rec for rec in out if rec["nat_gw_id"] != "nat-bad"]
    assert len(good) == 3 and all("ec2_ip" in rec and "ec2_2nd_private_ip" in rec for rec in good)
    assert "ec2_2nd_private_ip" not in out[1]
    assert "  **Error** test instance for subnet-00000000000000bad is not complete" in r.stderr
    run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env)


@pytest.mark.parametrize("fault", ["unreachable", "slow", "garbage", "trickle", "endless"])
def test_broken_controller(aws, controller, tmp_path, monkeypatch, caplog, fault):
    monkeypatch.chdir(tmp_path)
    vpc = aws.ec2.create_vpc(CidrBlock="10.9.0.0/16")["Vpc"]["VpcId"]
    address = controller.address
    if fault == "unreachable":
        controller.stop()
    elif fault == "slow":
        controller.delay = 2
        monkeypatch.setattr(zor_https, "REQUEST_TIMEOUT", (1, 0.5))
    elif fault == "trickle":
        # One byte every 0.4 s: no single read ever waits long enough to time out.
        controller.mode, controller.delay = "trickle", 0.4
        monkeypatch.setattr(zor_https, "REQUEST_TIMEOUT", (1, 1))
    elif fault == "endless":
        controller.mode = "endless"
        monkeypatch.setattr(zor_https, "RESPONSE_SIZE_LIMIT", 1 << 20)
    else:
        controller.mode = "garbage"
    cellscan.start_aws_session.cache.clear()
    started = time.monotonic()
    status = run_main(
        cellscan,
        monkeypatch,
        [
            *spoke_scan_args(vpc, address),
        ],
    )
    assert status == 1
    errors = [m for m in caplog.messages if "**Error**" in m]
    assert len(errors) == 1 and errors[0].startswith("  **Error** controller login failed: ")
    assert not (tmp_path / "b/subnet.config").exists()
    if fault == "trickle":
        assert "did not complete its answer within 2.0 s" in errors[0]
        assert time.monotonic() - started < 10
    if fault == "endless":
        assert "larger than 1 MiB" in errors[0]
