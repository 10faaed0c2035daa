"""rollprobe's command line: options, refusals before any AWS call."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BIN = Path(sys.executable).parent


def tool(name):
    return str(BIN / name)


OPTIONS_IN_ORDER = [
    ("--revert", "revert the operation"),
    ("--dry_run", "Dry run deploy test ec2 logic and show what will be done"),
    ("--account", "account"),
    ("--region", "region"),
    ("--private_subnet_id", "private subnet ID"),
    ("--key_name", "key name"),
    ("--s3_bucket", "s3 bucket name"),
    ("--assume_role", "Specify the role used to deploy EC2 in the account"),
    ("--profile", "Specify the AWS Credentials profile used to deploy EC2 in the account"),
    ("--ec2_role", "Specify the role to assign to the EC2"),
    ("--test_config", "specify input test config file"),
    ("--output_test_config", "specify output test config file"),
    ("--tag_resource", "tag created resources, e.g., sg, vm"),
    ("--instance_type", "instance type, default to t3.micro"),
    ("--image", "VM image name, default to al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"),
    (
        "--workflow_account_role",
        "specify workflow account <role>,<number>,<region> where account number and region are optional",
    ),
    ("--backup_folder", "specify a local folder for storing the VPC specific key-pair"),
    ("--eip", "Use EIP"),
]


def offline_env(tmp_path):
    """An environment in which any AWS call would fail loudly."""
    env = dict(os.environ)
    env.update(
        AWS_ENDPOINT_URL="http://127.0.0.1:9",
        AWS_MAX_ATTEMPTS="1",
        AWS_EC2_METADATA_SERVICE_ENDPOINT="http://127.0.0.1:9",
    )
    return env


def run(argv, cwd, env=None):
    return subprocess.run(
        [tool("rollprobe"), *argv], cwd=cwd, env=env or offline_env(cwd), capture_output=True, text=True, timeout=120
    )


def test_help_lists_options_in_order(tmp_path):
    r = run(["--help"], tmp_path)
    assert r.returncode == 0
    flat = " ".join(r.stdout.split())
    assert "Deploy test EC2 in test subnets" in flat
    positions = []
    # argparse heads the list "options:" from Python 3.10 on, "optional arguments:" before.
    start = flat.index("options:") if "options:" in flat else flat.index("optional arguments:")
    for flag, help_text in OPTIONS_IN_ORDER:
        assert " ".join(help_text.split()) in flat, help_text
        positions.append(flat.index(flag + " ", start))
    assert positions == sorted(positions)


@pytest.fixture
def config(tmp_path):
    path = tmp_path / "in.json"
    path.write_text(
        json.dumps(
            [{"gw_subnet_id": "subnet-1", "private_subnet_id": "subnet-2", "private_subnet_cidr": "10.0.1.0/24"}]
        )
    )
    return path.name


@pytest.mark.parametrize(
    "argv,status,message",
    [
        (["--backup_folder", "b", "--output_test_config", "o.json"], 2, "--test_config"),
        (["--test_config", "in.json", "--output_test_config", "o.json"], 2, "--backup_folder"),
        (
            ["--test_config", "in.json", "--backup_folder", "b", "--output_test_config", "o", "--bogus", "1"],
            2,
            "unrecognized arguments: --bogus",
        ),
        (["--test_config", "in.json", "--backup_folder", "b"], 2, "needs --output_test_config"),
        (
            ["--test_config", "in.json", "--backup_folder", "./logs", "--output_test_config", "o"],
            1,
            'Please remove the beginning "/" or a "." from backup_folder ./logs',
        ),
        (
            ["--test_config", "in.json", "--backup_folder", "/tmp/logs", "--output_test_config", "o"],
            1,
            'Please remove the beginning "/" or a "." from backup_folder /tmp/logs',
        ),
        (
            [
                "--test_config",
                "in.json",
                "--backup_folder",
                "b",
                "--output_test_config",
                "o",
                "--tag_resource",
                "team,net,owner",
            ],
            1,
            "**Error** incomplete tag_resource pair",
        ),
        (
            ["--test_config", "in.json", "--backup_folder", "b", "--output_test_config", "o", "--tag_resource", ""],
            1,
            "**Error** incomplete tag_resource pair",
        ),
        (
            ["--revert", "--test_config", "in.json", "--backup_folder", "b", "--tag_resource", "a,b,c"],
            1,
            "**Error** incomplete tag_resource pair",
        ),
    ],
)
def test_refused_before_any_aws_call(tmp_path, config, argv, status, message):
    r = run(argv, tmp_path)
    assert r.returncode == status, r.stderr
    assert message in r.stderr
    assert "Traceback" not in r.stderr
    assert not (tmp_path / "o").exists()


def test_refused_folder_leaves_no_log_folder(tmp_path, config):
    run(["--test_config", "in.json", "--backup_folder", "./logs", "--output_test_config", "o"], tmp_path)
    assert not (tmp_path / "logs").exists()


def test_command_is_logged_with_the_arguments(tmp_path, config):
    run(
        [
            "--test_config",
            "in.json",
            "--backup_folder",
            "logs/run1",
            "--output_test_config",
            "o",
            "--account",
            "123",
            "--tag_resource",
            "a,b,c",
        ],
        tmp_path,
    )
    log = (tmp_path / "logs/run1/log/brimvale_testlibs.log").read_text()
    assert (
        "rollprobe --test_config in.json --backup_folder logs/run1 --output_test_config o --account 123 "
        "--tag_resource a,b,c"
    ) in log
