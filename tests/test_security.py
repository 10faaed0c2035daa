"""Secrets stay out of logs and uploads; private keys are private from creation."""

import json
import os
import stat

from conftest import REGION, cli_env, run_cli, spoke_scan_args, tool

from emulators.topology import controller_entries, spoke_vpc


def test_no_secret_in_logs_or_uploads(server_clients, controller, tmp_path, http_service):
    c = server_clients
    c.s3.create_bucket(Bucket="uploads")
    topo = spoke_vpc(c.ec2, ha=False)
    controller.gateways = controller_entries(topo)
    controller.password = "Sup3r S3cret!"
    scan = run_cli(
        [
            tool("cellscan"),
            *spoke_scan_args(topo.vpc, controller.address, password=["--controller_password=Sup3r S3cret!"]),
        ],
        tmp_path,
        cli_env(c.url),
    )
    assert scan.returncode == 0, scan.stderr
    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    deploy = run_cli(
        [
            tool("rollprobe"),
            "--test_config",
            "b/subnet.config",
            "--output_test_config",
            "b/out.json",
            "--backup_folder",
            "b",
            "--region",
            REGION,
            "--s3_bucket",
            "uploads",
        ],
        tmp_path,
        cli_env(c.url, echo.url + "/"),
    )
    assert deploy.returncode == 0, deploy.stderr

    pem = tmp_path / "b" / f"brimvale-test-ec2-key-pair-{topo.vpc}.pem"
    key = pem.read_text()
    assert stat.S_IMODE(os.stat(pem).st_mode) == 0o600
    log = (tmp_path / "b/log/brimvale_testlibs.log").read_text()
    assert "--controller_password=****" in log
    texts = {"log file": log, "console": scan.stderr + deploy.stderr}
    for obj in c.s3.list_objects_v2(Bucket="uploads")["Contents"]:
        if not obj["Key"].endswith(".pem"):  # the key backup is the one place for the key
            texts[obj["Key"]] = c.s3.get_object(Bucket="uploads", Key=obj["Key"])["Body"].read().decode()
    assert "b/log/brimvale_testlibs.log" in texts
    for where, text in texts.items():
        assert "S3cret" not in text, where
        assert "PRIVATE KEY" not in text and key.splitlines()[1] not in text, where
    groups = c.ec2.describe_security_groups(GroupNames=["brimvale-test-ec2-sg"])["SecurityGroups"]
    assert [r["CidrIp"] for p in groups[0]["IpPermissions"] for r in p["IpRanges"]] == ["203.0.113.7/32"]
    json.loads((tmp_path / "b/out.json").read_text())
