"""What a deployment or its revert must not lose, leak or take for its own: keys
nobody holds, elastic IPs of another run's flags, uploads, full disks, threads
that cannot start, log lines forged by the controller."""

import errno
import logging
import os
import threading

import pytest
from conftest import make_args, nat_record, run_main
from test_hardening import deploy, fleet  # noqa: F401 - the fixture

from brimvale_testlibs.bin import rollprobe
from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus
from brimvale_testlibs.bin.lib import commonlib
from brimvale_testlibs.bin.lib.spoke import Spoke
from brimvale_testlibs.bin.lib.zor_cred import get_brimvale_cid


def errors(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]


@pytest.mark.parametrize("case", ["planted", "file not written"])
def test_key_pair_without_its_private_key(aws, fleet, caplog, monkeypatch, case):  # noqa: F811
    topo, args = fleet()
    name = f"brimvale-test-ec2-key-pair-{topo.vpc}"
    if case == "planted":
        aws.ec2.create_key_pair(
            KeyName=name,
            TagSpecifications=[
                {"ResourceType": "key-pair", "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2-key-pair"}]}
            ],
        )
        expected = f"key pair {name} exists but its private key backup/{name}.pem is not here"
    else:

        def full_disk(fd):
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(os, "fsync", full_disk)
        expected = f"cannot write the private key backup/{name}.pem of the new key pair {name}: [Errno 28]"
    with pytest.raises(SystemExit) as ended:
        rollprobe.deployEc2s(aws.ec2, aws.s3, aws.iam, "ami-0a1b2c3d4e5f60718", args)
    assert ended.value.code == 1
    assert len(errors(caplog)) == 1 and expected in errors(caplog)[0]
    assert aws.ec2.describe_instances()["Reservations"] == []
    left = [k["KeyName"] for k in aws.ec2.describe_key_pairs()["KeyPairs"]]
    assert left == ([name] if case == "planted" else [])  # a key pair nobody holds is never left behind


def test_revert_releases_elastic_ips_whatever_its_flags(aws, fleet, caplog):  # noqa: F811
    topo, args = fleet(pairs=2, eip=True)
    deploy(aws, args)
    assert len(aws.ec2.describe_addresses()["Addresses"]) == 2
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="in.json"))  # no --eip
    assert aws.ec2.describe_addresses()["Addresses"] == []
    assert AppExitStatus().getStatus() == 0


def test_unreleasable_address_fails_the_revert(aws, fleet, caplog):  # noqa: F811
    from faults import fail_first

    topo, args = fleet(eip=True)
    deploy(aws, args)
    fail_first(aws.ec2, "ReleaseAddress", "AuthFailure", 2)
    rollprobe.terminateEc2s(aws.ec2, aws.iam, make_args(test_config="in.json"))
    assert len(errors(caplog)) == 1 and errors(caplog)[0].startswith("  **Error** cannot release elastic IP ")
    assert AppExitStatus().getStatus() == 1


def test_revert_uploads_its_log(aws, tmp_path, monkeypatch, fleet):  # noqa: F811
    topo, args = fleet()
    deploy(aws, args)
    argv = ["--revert", "--test_config", "in.json", "--backup_folder", "backup", "--region", "us-east-1"]
    aws.s3.create_bucket(Bucket="results")
    assert run_main(rollprobe, monkeypatch, [*argv, "--s3_bucket", "results"]) == 0
    keys = [o["Key"] for o in aws.s3.list_objects_v2(Bucket="results")["Contents"]]
    assert keys == ["backup/log/brimvale_testlibs.log"]
    # An upload that fails is no success.
    assert run_main(rollprobe, monkeypatch, [*argv, "--s3_bucket", "no-such-bucket"]) == 1


def test_full_disk_and_no_threads(aws, fleet, caplog, monkeypatch, tmp_path):  # noqa: F811
    """Out of threads after one worker: the started one finishes, what exists is
    written, one line. Then a full disk at the output config: one line naming
    the file and what to revert."""
    topo, args = fleet(pairs=3)
    real_start, started = threading.Thread.start, []

    def start(self):
        if not self.daemon:  # the workers (the echo service's own threads are daemons and always start)
            if started:
                raise RuntimeError("can't start new thread")
            started.append(self.name)
        real_start(self)

    monkeypatch.setattr(threading.Thread, "start", start)
    out = deploy(aws, args)
    monkeypatch.setattr(threading.Thread, "start", real_start)
    assert [m for m in errors(caplog)] == [
        "  **Error** cannot start worker 2 of 3 (can't start new thread): 2 record(s) not handled; the 1 started finish"
    ]
    assert "ec2_ip" in out[0] and "ec2_ip" not in out[1] and AppExitStatus().getStatus() == 1

    caplog.clear()
    real_replace = os.replace

    def replace(src, dst):
        if str(dst).endswith("out.json"):
            raise OSError(errno.ENOSPC, "No space left on device")
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    (tmp_path / "out.json").unlink()
    with pytest.raises(SystemExit):
        deploy(aws, args)
    assert errors(caplog) == [
        "  **Error** cannot write the output test config out.json: [Errno 28] No space left on device; 3 test "
        "instance(s) launched; their addresses are not written: revert with the input config in.json"
    ]
    assert not (tmp_path / "out.json").exists() and not list(tmp_path.glob(".tmp-*"))


def test_unwritable_log_is_one_line(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    commonlib.Common.initLogLocation("b")
    lg = logging.getLogger("brimvale_testlibs")
    handler = next(h for h in lg.handlers if isinstance(h, logging.FileHandler))

    class Full:
        def write(self, text):
            raise OSError(errno.ENOSPC, "No space left on device")

        def flush(self):
            pass

    handler.stream.close()
    handler.stream = Full()
    lg.info("one")
    lg.info("two")
    err = capsys.readouterr().err
    assert err.count("**Error** cannot write the log b/log/brimvale_testlibs.log: [Errno 28]") == 1
    assert "Traceback" not in err and "Logging error" not in err
    assert AppExitStatus().getStatus() == 1
    handler.stream = None


def test_session_id_never_reaches_the_log(controller, caplog):
    cid = get_brimvale_cid(controller.address, "admin", "secret")
    address = controller.address
    controller.stop()  # the next request fails with an error that names its URL
    assert Spoke.getHsSpokeInfo(f"https://{address}/v2/api", cid, "spoke-1") == []
    assert any("Failed to receive transit gateway info" in m for m in caplog.messages)
    assert all(cid not in m for m in caplog.messages)


def test_config_refusals_name_both_records(aws, fleet, caplog):  # noqa: F811
    """Records that would share a test instance or a verdict object are refused before anything is made."""

    def same_subnet(topo):
        return [nat_record(*topo.pairs[0], n=0), nat_record(*topo.pairs[0], n=1)]

    topo, args = fleet(records=same_subnet)
    with pytest.raises(SystemExit):
        deploy(aws, args)
    assert errors(caplog) == [
        f"  **Error** test config in.json: record 0 and record 1 share the gateway subnet {topo.pairs[0][0]}: "
        "one test instance per gateway subnet"
    ]
    groups = aws.ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [topo.vpc]}])["SecurityGroups"]
    assert [g["GroupName"] for g in groups] == ["default"]


def test_deployment_says_what_it_will_not_do(aws, fleet, caplog):  # noqa: F811
    """Without a bucket no verdict can exist; an elastic IP is not allocated where the subnet gives an address."""
    topo, args = fleet(eip=True)
    aws.ec2.modify_subnet_attribute(SubnetId=topo.pairs[0][0], MapPublicIpOnLaunch={"Value": True})
    caplog.set_level(logging.INFO)
    deploy(aws, args)
    assert "- No --s3_bucket: the test instances run no test and no verdict will be uploaded" in caplog.messages
    assert any(
        m.startswith("  no elastic IP allocated for i-") and "gave it the public address" in m for m in caplog.messages
    )
    assert (
        aws.ec2.describe_addresses(Filters=[{"Name": "tag:Name", "Values": ["brimvale-test-ec2-eip"]}])["Addresses"]
        == []
    )
