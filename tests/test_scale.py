"""Fleets under EC2's token-bucket throttling (scaled-down buckets, so a couple
of dozen records run into it within seconds): nothing lost, nothing left, and
an honest exit status when a revert cannot finish."""

import json
import subprocess

import pytest
import requests
from conftest import REGION, build_vpc, cli_env, nat_record, run_cli, tool
from test_e2e_rollprobe import inventory

pytestmark = pytest.mark.slow

# Bucket sizes a tenth of EC2's (RunInstances: 1, mutating actions: 5, ...),
# refills as documented (RunInstances: 2 per second).
SMALL_BUCKETS = {"buckets": 0.1, "refill": 1.0}


def stats(url):
    return requests.get(url + "/__stats__").json()


def chain(c, tmp_path, http_service, pairs, second_octet=0, folder="b"):
    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    topo = build_vpc(c.ec2, cidr=f"10.{second_octet}.0.0/16", pairs=pairs)
    records = [nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]
    (tmp_path / f"{folder}.json").write_text(json.dumps(records))
    common = ["--test_config", f"{folder}.json", "--backup_folder", folder, "--region", REGION, "--eip"]
    return topo, common, cli_env(c.url, echo.url + "/")


def complete(path):
    return sum(1 for r in json.loads(path.read_text()) if "ec2_ip" in r and "ec2_2nd_private_ip" in r)


def test_throttled_fleet_loses_nothing(server_clients, tmp_path, http_service, faults):
    c = server_clients
    topo, common, env = chain(c, tmp_path, http_service, 24)
    faults(**SMALL_BUCKETS)
    deploy = run_cli([tool("rollprobe"), *common, "--output_test_config", "out.json"], tmp_path, env, timeout=600)
    throttled = stats(c.url)["throttled_operations"]
    revert = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env, timeout=600)
    throttled_revert = stats(c.url)["throttled_operations"]
    assert deploy.returncode == 0, deploy.stderr[-3000:]
    assert complete(tmp_path / "out.json") == 24
    assert throttled.get("ec2:RunInstances", 0) > 0  # the run really met the buckets
    assert "  launched 24/24" in deploy.stderr  # progress of a long, throttled run
    assert revert.returncode == 0, revert.stderr[-3000:]
    assert sum(throttled_revert.values()) > 0
    assert inventory(c, topo.vpc) == {k: [] for k in inventory(c, topo.vpc)}


def test_chains_of_one_account_at_once(server_clients, tmp_path, http_service, faults):
    c = server_clients
    chains = [chain(c, tmp_path, http_service, 8, second_octet=i, folder=f"v{i}") for i in range(3)]
    faults(**SMALL_BUCKETS)

    def run_all(revert):
        procs = []
        for i, (_topo, common, env) in enumerate(chains):
            argv = [tool("rollprobe"), *common] + (["--revert"] if revert else ["--output_test_config", f"o{i}.json"])
            procs.append(
                subprocess.Popen(
                    argv, cwd=tmp_path, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
                )
            )
        # communicate() reads stderr while waiting (a full pipe would stall
        # the run) and closes it.
        errors = [p.communicate(timeout=600)[1] for p in procs]
        return [(p.returncode, err) for p, err in zip(procs, errors)]

    deployed = run_all(False)
    assert stats(c.url)["throttled"] > 0
    assert [code for code, _ in deployed] == [0, 0, 0], [err[-2000:] for _, err in deployed]
    assert [complete(tmp_path / f"o{i}.json") for i in range(3)] == [8, 8, 8]
    reverted = run_all(True)
    assert [code for code, _ in reverted] == [0, 0, 0], [err[-2000:] for _, err in reverted]
    for topo, _, _ in chains:
        assert inventory(c, topo.vpc) == {k: [] for k in inventory(c, topo.vpc)}


def test_throttled_revert_exits_honestly(server_clients, tmp_path, http_service, faults):
    c = server_clients
    topo, common, env = chain(c, tmp_path, http_service, 4)
    deploy = run_cli([tool("rollprobe"), *common, "--output_test_config", "out.json"], tmp_path, env)
    assert deploy.returncode == 0, deploy.stderr[-2000:]
    # TerminateInstances never gets a token; a request gives up after 2 s of throttling.
    faults(buckets=1, deny=["TerminateInstances"])
    env["EMULATOR_THROTTLE_GIVE_UP"] = "2"
    first = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env, timeout=600)
    assert first.returncode == 1, first.stderr[-3000:]
    assert "Traceback" not in first.stderr
    assert first.stderr.count("  **Error** revert of subnet-") == 4
    assert f"  **Error** test instances remain in {topo.vpc}: i-" in first.stderr
    left = inventory(c, topo.vpc)
    assert len(left["instances"]) == 4 and left["groups"] and left["key_pairs"]  # kept while instances remain
    faults(buckets=0)
    second = run_cli([tool("rollprobe"), "--revert", *common], tmp_path, env, timeout=600)
    assert second.returncode == 0, second.stderr[-3000:]
    assert inventory(c, topo.vpc) == {k: [] for k in inventory(c, topo.vpc)}
