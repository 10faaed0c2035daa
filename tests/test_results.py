"""Results collection from S3, and the on-instance egress test run for real."""

import json
import logging
import os
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest
from faults import count_calls

import brimvale_testlibs
from brimvale_testlibs.bin import rollprobe


@pytest.fixture
def bucket(aws):
    aws.s3.create_bucket(Bucket="results")

    def put(key, body):
        aws.s3.put_object(Bucket="results", Key=key, Body=body.encode())

    return put


def opts(**kw):
    base = dict(test_config=None, private_subnet_id="subnet-1", s3_bucket="results")
    base.update(kw)
    return SimpleNamespace(**base)


@pytest.mark.parametrize("result,flag", [("PASS\n", 0), ("  PASS  ", 0), ("pass", 1), ("FAIL\n", 1)])
def test_single_subnet_verdict(aws, bucket, caplog, result, flag):
    bucket("log--t1.txt", "ping ok\n")
    bucket("result--t1.txt", result)
    caplog.set_level(logging.INFO)
    assert rollprobe.getS3TestResults(aws.s3, opts(tag="t1")) == flag
    assert caplog.messages == ["- Test ping and traceroute in subnet-1", "ping ok\n", result]
    assert Path("/tmp/result.txt").read_text() == result


def test_missing_log_object_skips_the_result(aws, bucket, caplog):
    bucket("result--.txt", "PASS\n")
    calls = count_calls(aws.s3)
    caplog.set_level(logging.INFO)
    assert rollprobe.getS3TestResults(aws.s3, opts()) == 1
    assert "GetObject" not in calls  # only the log object was asked for, and it was missing
    assert "404" in caplog.messages[-1] or "Not Found" in caplog.messages[-1]


def test_config_mode_goes_on_and_reports(aws, bucket, tmp_path, caplog):
    records = [
        {"nat_gw_id": "nat-1", "private_subnet_id": "s-1"},
        {"gw_name": "spoke-1", "private_subnet_id": "s-2"},
        {"gw_name": "spoke-1-hagw", "private_subnet_id": "s-3"},
    ]
    (tmp_path / "out.json").write_text(json.dumps(records))
    bucket("log-nat-1-.txt", "log 1")
    bucket("result-nat-1-.txt", "PASS\n")
    bucket("log-spoke-1-hagw-.txt", "log 3")
    bucket("result-spoke-1-hagw-.txt", "PASS\n")
    calls = count_calls(aws.s3)
    caplog.set_level(logging.INFO)
    assert rollprobe.getS3TestResults(aws.s3, opts(test_config=str(tmp_path / "out.json"))) == 1
    steps = [m for m in caplog.messages if m.startswith("- Test ping")]
    assert steps == [f"- Test ping and traceroute in s-{i}" for i in (1, 2, 3)]
    assert caplog.messages.index("log 3") < caplog.messages.index("PASS\n", caplog.messages.index("log 3"))
    assert calls.count("HeadObject") == 5  # log, result, missing log, log, result
    # all present and passing: flag 0
    bucket("log-spoke-1-.txt", "log 2")
    bucket("result-spoke-1-.txt", "PASS")
    assert rollprobe.getS3TestResults(aws.s3, opts(test_config=str(tmp_path / "out.json"))) == 0


# ---- the on-instance test ---------------------------------------------------

TESTS_PY = Path(brimvale_testlibs.__file__).parent / "test_ping" / "tests.py"


def stand_in_traceroute(folder, hops):
    script = folder / "traceroute"
    lines = "\n".join(f"echo ' {i + 1}  {hop}  0.1 ms  0.1 ms  0.1 ms'" for i, hop in enumerate(hops))
    # The header names the target (the last argument): a hop list that took
    # the header's address would pass a trace whose hops miss the gateway.
    header = 'for target; do :; done\necho "traceroute to $target ($target), 30 hops max, 60 byte packets"'
    script.write_text(f"#!/bin/sh\n{header}\n{lines}\n")
    script.chmod(0o755)


def stand_in_ip(folder, second="127.0.0.1"):
    """An `ip` that shows a two-interface instance: eth0 holds the default
    route, eth1 (the second interface) holds `second`."""
    script = folder / "ip"
    script.write_text(
        "#!/bin/sh\n"
        'case "$*" in\n'
        '  *route*) echo "default via 10.0.0.1 dev eth0 proto dhcp src 10.0.0.5 metric 512" ;;\n'
        '  *addr*) echo "1: lo    inet 127.0.0.1/8 scope host lo"\n'
        '          echo "2: eth0    inet 10.0.0.5/24 brd 10.0.0.255 scope global dynamic eth0"\n'
        f'          echo "3: eth1    inet {second}/24 brd 10.0.1.255 scope global dynamic eth1" ;;\n'
        "esac\n"
    )
    script.chmod(0o755)


def run_on_instance(tmp_path, config, path_dirs):
    work = tmp_path / "test_ping"
    work.mkdir(exist_ok=True)
    shutil.copy(TESTS_PY, work / "tests.py")
    (work / "config.json").write_text(json.dumps(config))
    Path("/tmp/result.txt").unlink(missing_ok=True)
    env = dict(os.environ, PATH=os.pathsep.join(str(p) for p in path_dirs))
    r = subprocess.run(
        [sys.executable, "-m", "unittest", "-v", "tests.py"],
        cwd=work,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    return r, Path("/tmp/result.txt").read_text()


def test_ships_with_the_package():
    assert TESTS_PY.is_file()


ping = shutil.which("ping")
needs_ping = pytest.mark.skipif(ping is None, reason="no ping on this machine")


@needs_ping
@pytest.mark.parametrize("hops,verdict", [(["127.0.0.1"], "PASS\n"), (["10.255.0.1", "127.0.0.2"], "FAIL\n")])
def test_egress_verdict_on_loopback(tmp_path, hops, verdict):
    tools = tmp_path / "bin"
    tools.mkdir()
    stand_in_ip(tools)
    os.symlink(ping, tools / "ping")
    if shutil.which("traceroute") and hops == ["127.0.0.1"]:
        os.symlink(shutil.which("traceroute"), tools / "traceroute")
    else:
        stand_in_traceroute(tools, hops)
    r, result = run_on_instance(
        tmp_path, {"ping": "127.0.0.1", "traceroute": "127.0.0.1", "spoke_gw": "127.0.0.1"}, [tools, "/usr/bin", "/bin"]
    )
    assert result == verdict, r.stderr
    assert "test_egress_path" in r.stderr


@pytest.mark.parametrize(
    "tools,reason",
    [
        ([], "ip is not installed"),
        (["ip"], "ping is not installed"),
        (["ip-one-interface"], "no second interface with an IPv4 address"),
    ],
)
def test_missing_tool_or_interface_is_a_fail(tmp_path, tools, reason):
    folder = tmp_path / "tools"
    folder.mkdir()
    if "ip" in tools:
        stand_in_ip(folder)
    if "ip-one-interface" in tools:
        (folder / "ip").write_text(
            '#!/bin/sh\ncase "$*" in *route*) echo "default via 10.0.0.1 dev eth0";; '
            '*addr*) echo "2: eth0    inet 10.0.0.5/24 scope global eth0";; esac\n'
        )
        (folder / "ip").chmod(0o755)
    r, result = run_on_instance(
        tmp_path, {"ping": "127.0.0.1", "traceroute": "127.0.0.1", "spoke_gw": "127.0.0.1"}, [folder]
    )
    assert result == "FAIL\n"
    assert reason in r.stderr
