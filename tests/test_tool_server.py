"""egresscheck's tool server, spoken to as the runner speaks to it: each
request forks a tool with the request's own argv, folder, environment and
log; the tool's pid comes first, then its exit status (a signal's as its
negative number); the server ends with the runner."""

import json
import os
import signal
import socket
import subprocess
import sys

import pytest

SERVE = "import sys; from brimvale_testlibs.bin import egresscheck; egresscheck.serve_tools(int(sys.argv[1]))"


@pytest.fixture
def server():
    mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    proc = subprocess.Popen([sys.executable, "-c", SERVE, str(theirs.fileno())], pass_fds=(theirs.fileno(),))
    theirs.close()
    try:
        mine.settimeout(60)
        assert mine.recv(64) == b"ready"
        yield mine, proc
    finally:
        mine.close()
        try:
            ended = proc.wait(10)
        finally:
            proc.kill()
            proc.wait()
    assert ended == 0  # the runner's end of the socket closed: the server ends


def fork(ctl, argv, cwd, env):
    log = open(cwd / "tool.log", "wb")
    status, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    request = {"argv": argv, "cwd": str(cwd), "env": env}
    socket.send_fds(ctl, [json.dumps(request).encode()], [log.fileno(), theirs.fileno()])
    theirs.close()
    log.close()
    status.settimeout(60)
    return status, json.loads(status.recv(4096))["pid"]


def status_of(sock):
    with sock:
        return json.loads(sock.recv(4096))["status"]


@pytest.mark.parametrize(
    "argv, status, logged",
    [
        (["cellscan", "--help"], 0, "usage: cellscan"),
        (["rollprobe", "--revert"], 2, "the following arguments are required: --test_config"),
        (["no-such-tool"], 2, "usage: python -m brimvale_testlibs"),
    ],
)
def test_forked_tool_status_and_log(server, tmp_path, argv, status, logged):
    sock, pid = fork(server[0], argv, tmp_path, dict(os.environ))
    assert pid > 0 and status_of(sock) == status
    assert logged in (tmp_path / "tool.log").read_text()


def test_forked_tool_takes_the_requests_environment_and_a_signal_ends_it(server, tmp_path):
    # An endpoint that takes the connection and never answers: the tool
    # reaches it only through the request's environment.
    with socket.create_server(("127.0.0.1", 0)) as endpoint:
        endpoint.settimeout(60)
        env = dict(os.environ, AWS_ENDPOINT_URL=f"http://127.0.0.1:{endpoint.getsockname()[1]}")
        env.update(AWS_ACCESS_KEY_ID="testing", AWS_SECRET_ACCESS_KEY="testing", AWS_DEFAULT_REGION="us-east-1")
        (tmp_path / "b").mkdir()
        argv = ["cellscan", "--vpc", "vpc-0123456789abcdef0", "--region", "us-east-1", "--backup_folder", "b"]
        argv += ["--assume_role", "arn:aws:iam::123456789012:role/deployer", "--output_test_config", "o", "natgw"]
        sock, pid = fork(server[0], argv, tmp_path, env)
        try:
            conn, _ = endpoint.accept()
            conn.close()
            assert os.readlink(f"/proc/{pid}/cwd") == str(tmp_path)
            assert os.getsid(pid) == pid  # a session of its own, as a started tool has
        finally:
            os.kill(pid, signal.SIGKILL)
            assert status_of(sock) == -signal.SIGKILL
