"""egresscheck on the lab as a live cloud: the lab watches the emulator and
runs each test instance's boot script, byte for byte, in its overlay of the
instance root as it starts; verdicts come from real packets, console output
from what the boot scripts print, uploads from the instance role's
credentials."""

import json
import subprocess
from pathlib import Path

import pytest
import requests
from conftest import cli_env, run_cli, tool
from test_lab import UNAVAILABLE, lab_artifacts

from emulators import echo
from emulators.estate import ROLES, leftovers, seed
from emulators.moto_ext import CONSOLE_DIR
from lab import netlab
from lab.instance_root import RootUnavailable, prepare
from lab.watch import LabWatch

pytestmark = [pytest.mark.slow, pytest.mark.skipif(UNAVAILABLE is not None, reason=f"egress lab: {UNAVAILABLE}")]


@pytest.fixture(scope="module")
def instance():
    """The instance wheelhouse and root (made once per machine)."""
    try:
        return prepare(log=lambda *a: None)
    except RootUnavailable as e:
        pytest.skip(f"instance root: {e}")


@pytest.fixture
def live(moto_server, controller, tmp_path, instance):
    requests.post(moto_server + "/moto-api/reset")
    srv, url = echo.start()
    world = seed(moto_server, controller, str(tmp_path), deadline=75, identities=True)
    world.env = cli_env(moto_server, url, EMULATOR_POLL="2,2,4")
    world.misrouted, world.dropping = world.nat.private[1][0], world.classic.gateways[1]
    lab = LabWatch(
        moto_server,
        roles=ROLES.values(),
        misroute={world.misrouted},
        drop={world.dropping["private_ip"]},
        hang={"spoke-hs-hagw"},
        wheelhouse=instance[0],
        instance_root=instance[1],
        log=lambda *a: None,
    )
    with lab:
        world.lab = lab
        yield world
    srv.shutdown()
    srv.server_close()
    left = lab_artifacts()
    assert left == {k: [] for k in left}  # no namespace, link, mount or folder of the lab remains


def test_verdicts_from_real_packets(live, tmp_path, moto_server):
    from junitparser import Failure, JUnitXml

    argv = [tool("egresscheck"), "run", "--inventory", "estate.yaml", "--run_dir", "runs/lab"]
    r = run_cli([*argv, "--junit", "r.xml", "--json", "r.json"], tmp_path, live.env, timeout=600)
    assert r.returncode == 1, r.stderr[-3000:]
    doc = json.loads((tmp_path / "r.json").read_text())
    records = {(t["name"], rec["gateway"]): rec for t in doc["targets"] for rec in t["records"]}
    verdicts = {k: v["verdict"] for k, v in records.items()}
    good, misrouted = live.nat.nats
    assert verdicts == {
        ("prod-nat", good): "PASS",
        ("prod-nat", misrouted): "FAIL",
        ("shared-spoke", "spoke-east"): "PASS",
        ("shared-spoke", "spoke-east-hagw"): "FAIL",
        ("shared-hs", "spoke-hs"): "PASS",
        ("shared-hs", "spoke-hs-hagw"): "NO_RESULT",
    }
    passed = records[("prod-nat", good)]
    assert passed["gateway_in_path"] and passed["gateway_ip"] in passed["hops"] and "203.0.113.10" in passed["hops"]
    assert "pip3 install" not in passed["log"] and "Ran 1 test" in passed["log"]  # the test's own log
    # Every boot script ran as stored (bash -x traces its own lines), installing
    # the manylinux wheel from the wheelhouse on the root's Python 3.9.
    consoles = [Path(CONSOLE_DIR, f"{iid}.log").read_text() for iid in live.lab.booted]
    assert len(consoles) == 5 and live.lab.changes == []  # all but the one that hangs ran to their end
    for console in consoles:
        for line in (
            "+ python3.9 -m venv /home/ec2-user/python3-env",
            "+ pip3 install brimvale-testlibs",
            "Looking in links: /opt/wheelhouse",
            "-cp39-cp39-manylinux",
            "+ cd /home/ec2-user/python3-env/lib/python3.9/site-packages/brimvale_testlibs/test_ping",
            "+ python3 -m unittest -v tests.py",
            "+ aws s3 cp /tmp/result.txt s3://",
        ):
            assert line in console, console[-3000:]
    wrong = records[("prod-nat", misrouted)]
    assert "does not go through" in wrong["reason"] and not wrong["gateway_in_path"] and wrong["hops"]
    dropped = records[("shared-spoke", "spoke-east-hagw")]
    assert dropped["reason"].startswith("ping www.example.com from") and "100% packet loss" in dropped["log"]
    hung = records[("shared-hs", "spoke-hs-hagw")]
    assert any("lab: this instance hangs" in line for line in hung["console"]), hung["console"]
    xml = JUnitXml.fromfile(str(tmp_path / "r.xml"))
    from_junit = {}
    for suite in xml:
        for case in suite:
            failures = [x for x in case.result if isinstance(x, Failure)]
            from_junit[(suite.name, case.name)] = failures[0].type if failures else "PASS"
    assert from_junit == verdicts
    assert leftovers(moto_server) == {"prod": [], "shared": []}
    assert not live.lab.instances and not live.lab.vpcs and not live.lab.errors


def test_sigkill_during_boot_scripts_then_resume(live, tmp_path, moto_server):
    argv = [tool("egresscheck"), "run", "--inventory", "estate.yaml", "--only", "shared-spoke", "--run_dir", "runs/k"]
    proc = subprocess.Popen(
        argv, cwd=tmp_path, env=live.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
    )
    for line in proc.stderr:  # the instances run their boot scripts while it waits
        if "verdicts after" in line and live.lab.instances:
            break
    proc.kill()
    proc.communicate()
    r = run_cli([tool("egresscheck"), "resume", "runs/k"], tmp_path, live.env, timeout=600)
    assert r.returncode in (0, 1), r.stderr[-3000:]
    assert json.loads((tmp_path / "runs/k/report.json").read_text())["targets"][0]["leftovers"] == []
    assert leftovers(moto_server) == {"prod": [], "shared": []}
    # The lab follows the cloud: the terminated instances and their VPC are gone.
    deadline = 50
    while (live.lab.instances or live.lab.vpcs) and deadline:
        deadline -= 1
        __import__("time").sleep(0.2)
    assert not live.lab.instances and not live.lab.vpcs


def test_one_lab_per_host(live):
    with pytest.raises(netlab.LabUnavailable, match="another egress lab runs on this host"):
        with netlab.Lab("http://127.0.0.1:9"):
            pass


def test_instance_role_that_may_not_upload_reads_as_missing(instance, tmp_path, monkeypatch):
    """With the emulator's IAM enforcement on, the boot script's uploads are
    made with the instance role's credentials from the metadata endpoint: the
    tool's own instance policy lets them through, a role without s3:PutObject
    leaves the record without a verdict."""
    import sys

    import boto3
    from conftest import ROOT

    from emulators.topology import nat_vpc

    proc = subprocess.Popen(
        [sys.executable, "-m", "emulators.moto_server", "0"], cwd=ROOT, stdout=subprocess.PIPE, text=True
    )
    url = f"http://127.0.0.1:{int(proc.stdout.readline().split()[1])}"
    srv, echo_url = echo.start()
    try:
        requests.post(url + "/moto-api/reset-auth", data=b"inf")
        setup = lambda svc: boto3.client(svc, region_name="us-east-1", endpoint_url=url)  # noqa: E731
        iam = setup("iam")
        allow_all = json.dumps(
            {"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "*", "Resource": "*"}]}
        )
        iam.create_user(UserName="admin")
        iam.put_user_policy(UserName="admin", PolicyName="all", PolicyDocument=allow_all)
        key = iam.create_access_key(UserName="admin")["AccessKey"]
        trust = json.dumps(
            {
                "Version": "2012-10-17",
                "Statement": [{"Effect": "Allow", "Action": "sts:AssumeRole", "Principal": {"AWS": "*"}}],
            }
        )
        deployer = iam.create_role(RoleName="brimvale-deployer", AssumeRolePolicyDocument=trust)["Role"]["Arn"]
        iam.put_role_policy(RoleName="brimvale-deployer", PolicyName="all", PolicyDocument=allow_all)
        read_only = {"Effect": "Allow", "Action": "s3:GetObject", "Resource": "arn:aws:s3:::*/result-*"}
        by_ec2 = {"Effect": "Allow", "Action": "sts:AssumeRole", "Principal": {"Service": "ec2.amazonaws.com"}}
        iam.create_role(
            RoleName="no-upload", AssumeRolePolicyDocument=json.dumps({"Version": "2012-10-17", "Statement": [by_ec2]})
        )
        doc = json.dumps({"Version": "2012-10-17", "Statement": [read_only]})
        iam.put_role_policy(RoleName="no-upload", PolicyName="read", PolicyDocument=doc)
        iam.create_instance_profile(InstanceProfileName="no-upload-profile")
        iam.add_role_to_instance_profile(InstanceProfileName="no-upload-profile", RoleName="no-upload")
        ec2 = setup("ec2")
        allowed, denied = (nat_vpc(ec2, second_octet=o, zones=["us-east-1a"], private_nat=False) for o in (10, 20))
        setup("s3").create_bucket(Bucket="lab-results")
        target = {"kind": "natgw", "assume_role": deployer}
        inventory = {
            "defaults": {"region": "us-east-1", "s3_bucket": "lab-results", "eip": True, "deadline": 60},
            "targets": [
                # a slow machine's boot (venv, pip) must not read as a denial
                {**target, "name": "allowed", "vpc": allowed.vpc, "ec2_role": "default", "deadline": 240},
                {**target, "name": "denied", "vpc": denied.vpc, "ec2_role": "no-upload"},
            ],
        }
        (tmp_path / "estate.yaml").write_text(json.dumps(inventory))
        requests.post(url + "/moto-api/reset-auth", data=b"0")  # from here on, every request is checked
        monkeypatch.setenv("AWS_ACCESS_KEY_ID", key["AccessKeyId"])
        monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", key["SecretAccessKey"])
        monkeypatch.delenv("AWS_SESSION_TOKEN", raising=False)
        monkeypatch.setattr(boto3, "DEFAULT_SESSION", None)  # the lab's clients take the admin's keys
        env = cli_env(url, echo_url, EMULATOR_POLL="2,2,4")
        lab = LabWatch(url, roles=[deployer], wheelhouse=instance[0], instance_root=instance[1], log=lambda *a: None)
        with lab:
            argv = [
                tool("egresscheck"),
                "run",
                "--inventory",
                "estate.yaml",
                "--run_dir",
                "runs/iam",
                "--json",
                "r.json",
            ]
            r = run_cli(argv, tmp_path, env, timeout=600)
        assert r.returncode == 1, r.stderr[-3000:]
        assert not lab.errors and len(lab.booted) == 2, lab.errors
        records = {t["name"]: t["records"][0] for t in json.loads((tmp_path / "r.json").read_text())["targets"]}
        # as text, whole: a shortened repr hid the CLI's own line of why an upload failed
        evidence = "\n".join(
            f"{k}: {v.get('reason')}\n" + "\n".join(v.get("console", [])[-12:]) for k, v in records.items()
        )
        assert {k: v["verdict"] for k, v in records.items()} == {"allowed": "PASS", "denied": "NO_RESULT"}, evidence
        console = "\n".join(records["denied"]["console"])
        assert "upload failed" in console and "AccessDenied" in console, console
        assert "Unable to locate credentials" not in console
    finally:
        requests.post(url + "/moto-api/reset-auth", data=b"inf")
        srv.shutdown()
        srv.server_close()
        proc.terminate()
        proc.wait(10)
        proc.stdout.close()
    left = lab_artifacts()
    assert left == {k: [] for k in left}
