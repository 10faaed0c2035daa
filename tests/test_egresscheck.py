"""egresscheck against the emulated estate: a moto server holding two
accounts, the controller emulator, and a player of the test instances that
uploads their verdicts (PASS, FAIL, or nothing)."""

import json
import os
import signal
import subprocess
import time

import pytest
import requests
from conftest import cli_env, run_cli, tool

from emulators import echo
from emulators.estate import ROLES, leftovers, seed
from emulators.instances import InstancePlayer


@pytest.fixture
def estate(moto_server, controller, tmp_path):
    requests.post(moto_server + "/moto-api/reset")
    srv, url = echo.start()
    world = seed(moto_server, controller, str(tmp_path), deadline=8)
    world.url = moto_server
    world.env = cli_env(moto_server, url, EMULATOR_POLL="1,1,2")
    world.fail = {world.nat.nats[0]}  # its instance uploads FAIL
    world.hang = {"spoke-hs-hagw"}  # its instance never uploads
    yield world
    srv.shutdown()
    srv.server_close()


def egresscheck(*argv):
    return [tool("egresscheck"), *argv]


def start(estate, tmp_path, *argv):
    return subprocess.Popen(
        egresscheck(*argv), cwd=tmp_path, env=estate.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )


def journal(run_dir):
    path = run_dir / "journal.jsonl"
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def wait_for(predicate, timeout=120):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.2)
    raise AssertionError("timed out")


@pytest.mark.slow
def test_estate_run_reports_and_cleans_up(estate, tmp_path):
    from junitparser import Failure, JUnitXml

    # Each log object comes a while after its result: the verdicts still carry their logs;
    # one never comes, and the wait ends at the deadline with its verdict in.
    no_log = {"spoke-east-hagw"}
    with InstancePlayer(estate.url, ROLES.values(), fail=estate.fail, hang=estate.hang, log_after=2.5, no_log=no_log):
        r = run_cli(
            egresscheck(
                "run", "--inventory", "estate.yaml", "--run_dir", "runs/r1", "--junit", "r.xml", "--json", "r.json"
            ),
            tmp_path,
            estate.env,
        )
    assert r.returncode == 1, r.stderr[-3000:]
    doc = json.loads((tmp_path / "r.json").read_text())
    assert doc["schema"] == 1 and doc["run_id"] == "r1" and doc["interrupted"] is None
    verdicts = {(t["name"], rec["gateway"]): rec for t in doc["targets"] for rec in t["records"]}
    nat_fail, nat_pass = estate.nat.nats
    assert {k: v["verdict"] for k, v in verdicts.items()} == {
        ("prod-nat", nat_fail): "FAIL",
        ("prod-nat", nat_pass): "PASS",
        ("shared-spoke", "spoke-east"): "PASS",
        ("shared-spoke", "spoke-east-hagw"): "PASS",
        ("shared-hs", "spoke-hs"): "PASS",
        ("shared-hs", "spoke-hs-hagw"): "NO_RESULT",
    }
    failed, hung = verdicts[("prod-nat", nat_fail)], verdicts[("shared-hs", "spoke-hs-hagw")]
    assert failed["reason"].startswith("the path to example.com does not go through")
    assert not failed["gateway_in_path"] and failed["ping"].startswith("3 packets transmitted")
    passed = verdicts[("shared-spoke", "spoke-east")]
    assert passed["gateway_in_path"] and passed["gateway_ip"] in passed["hops"]
    assert passed["result_uri"] == "s3://brimvale-results/result-spoke-east-r1.shared-spoke.txt"
    assert hung["console"] and "no verdict within 8 s" in hung["reason"] and hung["instance"].startswith("i-")
    for t in doc["targets"]:
        assert set(t["stages"]) == {"discover", "deploy", "await", "revert"}
        assert t["leftovers"] == [] and t["errors"] == []
        assert all(s["status"] in (0, 1) for s in t["stages"].values())
        assert "secret" not in json.dumps(t["stages"])  # the password never reaches a command line
    nat_wait = next(t for t in doc["targets"] if t["name"] == "prod-nat")["stages"]["await"]
    # At most one request per pending record per poll, and one for each record's log in the poll its result came.
    assert nat_wait["requests"] <= 2 * nat_wait["polls"] + 2
    assert all(
        rec["log"] and "traceroute to" in rec["log"]
        for (_, gateway), rec in verdicts.items()
        if rec["verdict"] != "NO_RESULT" and gateway not in no_log
    )
    spoke = next(t for t in doc["targets"] if t["name"] == "shared-spoke")
    assert spoke["stages"]["await"]["status"] == 0 and verdicts[("shared-spoke", "spoke-east-hagw")]["log"] is None

    # JUnit, read back as a CI system reads it, says the same.
    xml = JUnitXml.fromfile(str(tmp_path / "r.xml"))
    from_junit = {}
    for suite in xml:
        for case in suite:
            assert case.classname == f"egress.{suite.name}"
            results = [x for x in case.result if isinstance(x, Failure)]
            from_junit[(suite.name, case.name)] = results[0].type if results else "PASS"
    assert from_junit == {k: v["verdict"] for k, v in verdicts.items()}

    # The console report and the run folder.
    assert "1 FAIL" in r.stdout and r.stdout.strip().splitlines()[-1].startswith(
        "4 PASS, 1 FAIL, 1 NO_RESULT in 3 targets"
    )
    assert r.stdout.strip().endswith("clean-up complete")
    assert "prod-nat: 1/2 verdicts after" in r.stderr or "prod-nat: 2/2 verdicts after" in r.stderr
    assert (tmp_path / "runs/r1/report.xml").exists() and (tmp_path / "runs/r1/report.txt").read_text() == r.stdout
    assert leftovers(estate.url) == {"prod": [], "shared": []}


# Refused inventories: one line naming target and key, exit 2, nothing made.
BASE = {"name": "a", "kind": "natgw", "vpc": "vpc-0a1", "region": "us-east-1", "s3_bucket": "results"}
BASE["assume_role"] = "arn:aws:iam::111111111111:role/d"
SPOKE = dict(BASE, kind="spoke", controller_ip="127.0.0.1:9", controller_user="admin", spoke_gw_name="s")


@pytest.mark.parametrize(
    "inventory,argv,message",
    [
        ({"targets": [dict(BASE, colour="red")]}, (), "target a: key colour: unknown key"),
        ({"targets": [dict(BASE, eip="yes")]}, (), "target a: key eip: 'yes' is not of type 'boolean'"),
        ({"targets": [BASE, BASE]}, (), "target a: key name: the name is used twice"),
        ({"targets": [dict(SPOKE, controller_password="x")]}, (), "key controller_password: a password is never"),
        ({"targets": [{k: v for k, v in BASE.items() if k != "s3_bucket"}]}, (), "target a: key s3_bucket: missing"),
        ({"targets": [SPOKE]}, (), "target a: key controller_password_file: give controller_password_file or"),
        ({"targets": [dict(BASE, name="a b")]}, (), "key name: 'a b' does not match"),
        ({"targets": [dict(BASE, deadline=0)]}, (), "key deadline: 0 is less than the minimum of 1"),
        ({"targets": [BASE], "extra": 1}, (), "inventory estate.yaml: key extra: unknown key"),
        ({"defaults": {"tag_resource": {"a,b": "c"}}, "targets": [BASE]}, (), "key tag_resource"),
        ([1], (), "is not a mapping"),
        ("targets: [", (), "cannot be read"),
        ({"targets": [BASE]}, ("--only", "b"), "--only b: no such target"),
        ({"targets": [BASE]}, ("natgw",), "run needs --inventory or natgw|spoke"),
    ],
)
def test_refused_inventory(tmp_path, inventory, argv, message):
    text = inventory if isinstance(inventory, str) else json.dumps(inventory)
    (tmp_path / "estate.yaml").write_text(text)
    env = cli_env("http://127.0.0.1:9")  # any AWS request would fail
    r = run_cli(egresscheck("run", "--inventory", "estate.yaml", *argv), tmp_path, env)
    assert r.returncode == 2, r.stderr
    errors = [ln for ln in r.stderr.splitlines() if "error" in ln]
    assert len(errors) == 1 and message in errors[0], r.stderr
    assert "Traceback" not in r.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["estate.yaml"]  # no run folder, no child


@pytest.mark.slow
def test_sigint_during_await_reverts_and_reports(estate, tmp_path):
    with InstancePlayer(estate.url, ROLES.values(), hang={"nat", "spoke"}):
        proc = start(estate, tmp_path, "run", "--inventory", "estate.yaml", "--only", "prod-nat", "--run_dir", "runs/i")
        wait_for(lambda: "verdicts after" in proc.stderr.readline())
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=180)
    assert proc.returncode == 130, err[-3000:]
    doc = json.loads((tmp_path / "runs/i/report.json").read_text())
    assert doc["interrupted"] == signal.SIGINT
    assert [r["verdict"] for r in doc["targets"][0]["records"]] == ["NO_RESULT", "NO_RESULT"]
    assert doc["targets"][0]["stages"]["revert"]["status"] == 0
    assert leftovers(estate.url) == {"prod": [], "shared": []}


@pytest.mark.slow
def test_killed_runs_are_finished_by_resume_and_sweep(estate, tmp_path):
    # Killed during the deployment: resume stops the deployment's tool and reverts.
    proc = start(
        estate, tmp_path, "run", "--inventory", "estate.yaml", "--only", "shared-spoke", "--run_dir", "runs/k1"
    )
    wait_for(lambda: any(e["event"] == "pid" and e["stage"] == "deploy" for e in journal(tmp_path / "runs/k1")))
    proc.kill()
    proc.communicate()
    r = run_cli(egresscheck("resume", "runs/k1"), tmp_path, estate.env)
    assert r.returncode == 1, r.stderr[-3000:]  # no verdict, clean-up complete
    assert "finishing the job of a run that ended" in r.stderr
    assert json.loads((tmp_path / "runs/k1/report.json").read_text())["targets"][0]["leftovers"] == []
    assert leftovers(estate.url) == {"prod": [], "shared": []}

    # Killed while it waits: the sweeper finds the fleet by its tags and removes
    # it, then the account's instance identity that nothing uses any more.
    with InstancePlayer(estate.url, ROLES.values(), hang={"nat", "spoke"}):
        proc = start(
            estate, tmp_path, "run", "--inventory", "estate.yaml", "--only", "prod-nat", "--run_dir", "runs/k2"
        )
        wait_for(lambda: "verdicts after" in proc.stderr.readline())
        proc.kill()
        proc.communicate()
    left = leftovers(estate.url)["prod"]
    assert len([x for x in left if x.startswith("i-")]) == 2 and "brimvale-test-ec2-role" in left
    dry = run_cli(egresscheck("sweep", "--inventory", "estate.yaml", "--older_than", "0s"), tmp_path, estate.env)
    assert dry.returncode == 0, dry.stderr
    assert "2 expired" in dry.stdout and "dry run" in dry.stdout
    assert leftovers(estate.url)["prod"] == left  # a dry run removes nothing
    applied = run_cli(
        egresscheck("sweep", "--inventory", "estate.yaml", "--older_than", "0s", "--apply"), tmp_path, estate.env
    )
    assert applied.returncode == 0, applied.stdout + applied.stderr
    assert "removal complete" in applied.stdout
    assert leftovers(estate.url) == {"prod": [], "shared": []}


@pytest.mark.slow
def test_per_account_bounds_the_chains_of_one_account(estate, tmp_path):
    with InstancePlayer(estate.url, ROLES.values()):
        r = run_cli(
            egresscheck(
                "run", "--inventory", "estate.yaml", "--only", "shared-spoke", "shared-hs", "--run_dir", "runs/p"
            )
            + ["--per_account", "1"],
            tmp_path,
            estate.env,
        )
    assert r.returncode == 0, r.stderr[-3000:]
    spans = {}
    for e in journal(tmp_path / "runs/p"):
        first, last = spans.get(e["target"], (e["time"], e["time"]))
        spans[e["target"]] = (min(first, e["time"]), max(last, e["time"]))
    (a_start, a_end), (b_start, b_end) = sorted(spans.values())
    assert a_end <= b_start  # one account: one chain at a time


def test_rollprobe_tag_names_the_verdict_objects(estate, tmp_path):
    """--tag reaches the boot script's object names; a tag outside the safe set is refused."""
    plan = run_cli(
        egresscheck("run", "--inventory", "estate.yaml", "--dry_run", "--run_dir", "runs/d"), tmp_path, estate.env
    )
    assert plan.returncode == 0, plan.stderr
    assert "--tag d.prod-nat" in plan.stdout and "brimvale-run,d,brimvale-expires" in plan.stdout
    assert "credentials: arn:aws:sts::111111111111:assumed-role/" in plan.stdout
    assert not (tmp_path / "runs").exists()  # a dry run creates nothing
    bad = run_cli(
        [tool("rollprobe"), "--test_config", "x", "--output_test_config", "o", "--backup_folder", "b", "--tag", "a/b"],
        tmp_path,
        estate.env,
    )
    assert bad.returncode == 1 and "--tag a/b has characters outside" in bad.stderr
    assert os.path.exists(tmp_path / "b/log/brimvale_testlibs.log")
