"""The key pair of a VPC."""

import logging
import os
import stat

import pytest
from botocore.stub import Stubber
from conftest import make_args

from brimvale_testlibs.bin import rollprobe


@pytest.fixture
def cwd(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_created_saved_private_and_backed_up(aws, topology, cwd, caplog):
    aws.s3.create_bucket(Bucket="backup-bucket")
    caplog.set_level(logging.INFO)
    name = rollprobe.createKeyPair(
        aws.ec2, aws.s3, topology.vpc, make_args(s3_bucket="backup-bucket", tag_resource="team,net")
    )
    assert name == f"brimvale-test-ec2-key-pair-{topology.vpc}"
    pem = cwd / "backup" / f"{name}.pem"
    body = pem.read_text()
    assert body.startswith("-----BEGIN") and body.endswith("\n")
    assert stat.S_IMODE(os.stat(pem).st_mode) == 0o600
    key = aws.ec2.describe_key_pairs(KeyNames=[name])["KeyPairs"][0]
    assert key["Tags"] == [{"Key": "Name", "Value": "brimvale-test-ec2-key-pair"}, {"Key": "team", "Value": "net"}]
    objects = [o["Key"] for o in aws.s3.list_objects_v2(Bucket="backup-bucket")["Contents"]]
    assert objects == [f"backup/{name}.pem"]
    assert "  done" in caplog.messages


def test_reused_key_leaves_file_untouched(aws, topology, cwd, caplog):
    name = rollprobe.createKeyPair(aws.ec2, aws.s3, topology.vpc, make_args())
    pem = cwd / "backup" / f"{name}.pem"
    pem.write_text("kept")
    caplog.set_level(logging.INFO)
    with Stubber(aws.s3):  # any S3 request would fail
        assert rollprobe.createKeyPair(aws.ec2, aws.s3, topology.vpc, make_args(s3_bucket="b")) == name
    assert pem.read_text() == "kept"
    assert f"  Key {name} already exist" in caplog.messages


def test_untagged_duplicate_stops_the_run(aws, topology, cwd, caplog):
    aws.ec2.create_key_pair(KeyName=f"brimvale-test-ec2-key-pair-{topology.vpc}")
    caplog.set_level(logging.INFO)
    with pytest.raises(SystemExit) as ended:
        rollprobe.createKeyPair(aws.ec2, aws.s3, topology.vpc, make_args())
    assert ended.value.code == 1
    assert caplog.messages[-2:] == [
        f"  Key pair brimvale-test-ec2-key-pair-{topology.vpc} already existed",
        "  Failed to create private key",
    ]
    assert not (cwd / "backup").exists()


def test_dry_run_creates_nothing(aws, topology, cwd):
    name = rollprobe.createKeyPair(aws.ec2, aws.s3, topology.vpc, make_args(dry_run=True))
    assert name.endswith(topology.vpc)
    assert aws.ec2.describe_key_pairs()["KeyPairs"] == []
    assert not (cwd / "backup").exists()


def test_failed_query_stops_the_run(aws, cwd, caplog):
    stub = Stubber(aws.ec2)
    stub.add_client_error("describe_key_pairs", "UnauthorizedOperation", "not allowed")
    with stub, pytest.raises(SystemExit) as ended:
        rollprobe.createKeyPair(aws.ec2, aws.s3, "vpc-1", make_args())
    assert ended.value.code == 1
    assert any(m.startswith("  **Error** ") and "not allowed" in m for m in caplog.messages)


def test_delete_existing_and_missing(aws, topology, cwd, caplog):
    name = rollprobe.createKeyPair(aws.ec2, aws.s3, topology.vpc, make_args())
    caplog.set_level(logging.INFO)
    rollprobe.deleteKeyPair(aws.ec2, name, make_args(dry_run=True))
    assert len(aws.ec2.describe_key_pairs()["KeyPairs"]) == 1
    rollprobe.deleteKeyPair(aws.ec2, name, make_args())
    assert aws.ec2.describe_key_pairs()["KeyPairs"] == []
    caplog.clear()
    rollprobe.deleteKeyPair(aws.ec2, "absent-key", make_args())
    assert caplog.messages == ["- Delete key pair absent-key", "  Key not found: absent-key"]


def test_file_is_key_material_plus_one_newline(aws, cwd):
    stub = Stubber(aws.ec2)
    stub.add_response("describe_key_pairs", {"KeyPairs": []})
    stub.add_response(
        "create_key_pair",
        {"KeyName": "k", "KeyMaterial": "MATERIAL"},
        {
            "KeyName": "brimvale-test-ec2-key-pair-vpc-1",
            "KeyType": "rsa",
            "KeyFormat": "pem",
            "TagSpecifications": [
                {"ResourceType": "key-pair", "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2-key-pair"}]}
            ],
        },
    )
    with stub:
        rollprobe.createKeyPair(aws.ec2, None, "vpc-1", make_args())
    assert (cwd / "backup/brimvale-test-ec2-key-pair-vpc-1.pem").read_text() == "MATERIAL\n"
