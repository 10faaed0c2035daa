"""Shared fixtures: moto in process, a moto server for CLI runs, loopback
HTTP services, and small helpers to build a VPC topology."""

import json
import os
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import SimpleNamespace

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from emulators.moto_ext import DEFAULT_IMAGE, patch_moto, prepare_environment  # noqa: E402

prepare_environment()
for var in ("AWS_PROFILE", "AWS_ENDPOINT_URL", "AWS_EC2_METADATA_SERVICE_ENDPOINT"):
    os.environ.pop(var, None)

import boto3  # noqa: E402
from moto import mock_aws  # noqa: E402

patch_moto()

from brimvale_testlibs.bin import rollprobe  # noqa: E402
from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus  # noqa: E402

REGION = "us-east-1"


@pytest.fixture(autouse=True)
def _fresh_process_state():
    """Exit status back to 0 and the tools' log handlers removed after each test."""
    import logging

    AppExitStatus.reset()
    yield
    AppExitStatus.reset()
    lg = logging.getLogger("brimvale_testlibs")
    for h in list(lg.handlers):
        if hasattr(h, "_brimvale_handler"):
            lg.removeHandler(h)
            h.close()


def run_main(module, monkeypatch, argv):
    """Runs a tool's main() in process; returns its exit status."""
    monkeypatch.setattr(sys, "argv", [module.__name__.rsplit(".", 1)[-1], *argv])
    with pytest.raises(SystemExit) as ended:
        module.main()
    code = ended.value.code
    return 0 if code is None else code


@pytest.fixture
def aws():
    with mock_aws():
        yield SimpleNamespace(
            ec2=boto3.client("ec2", region_name=REGION),
            iam=boto3.client("iam", region_name=REGION),
            s3=boto3.client("s3", region_name=REGION),
            ssm=boto3.client("ssm", region_name=REGION),
            sts=boto3.client("sts", region_name=REGION),
        )


@pytest.fixture
def sleeps(monkeypatch):
    """Replaces time.sleep; the list records every requested pause."""
    calls = []
    monkeypatch.setattr(time, "sleep", lambda s: calls.append(s))
    return calls


def make_args(**kw):
    base = dict(
        revert=False,
        dry_run=False,
        account=None,
        region=REGION,
        private_subnet_id=None,
        key_name=None,
        s3_bucket=None,
        assume_role=None,
        profile=None,
        ec2_role=None,
        test_config=None,
        output_test_config=None,
        tag_resource=None,
        instance_type="t3.micro",
        image=DEFAULT_IMAGE,
        workflow_account_role=None,
        backup_folder="backup",
        eip=False,
    )
    base.update(kw)
    return SimpleNamespace(**base)


@pytest.fixture
def args_factory():
    return make_args


def build_vpc(ec2, cidr="10.0.0.0/16", pairs=1, az=REGION + "a"):
    """A VPC with `pairs` (gateway subnet, test subnet) pairs; returns ids."""
    vpc = ec2.create_vpc(CidrBlock=cidr)["Vpc"]["VpcId"]
    prefix = cidr.split(".")[0] + "." + cidr.split(".")[1]
    result = SimpleNamespace(vpc=vpc, pairs=[])
    for i in range(pairs):
        gw = ec2.create_subnet(VpcId=vpc, CidrBlock=f"{prefix}.{2 * i}.0/24", AvailabilityZone=az)["Subnet"]
        priv = ec2.create_subnet(VpcId=vpc, CidrBlock=f"{prefix}.{2 * i + 1}.0/24", AvailabilityZone=az)["Subnet"]
        result.pairs.append((gw["SubnetId"], priv["SubnetId"], priv["CidrBlock"]))
    return result


def nat_record(gw_subnet, private_subnet, private_cidr, n=0):
    return {
        "nat_gw_id": f"nat-{n:017x}",
        "gw_private_ip": f"10.0.{2 * n}.10",
        "gw_public_ip": f"198.51.100.{n + 1}",
        "gw_subnet_id": gw_subnet,
        "gw_subnet_cidr": None,
        "private_subnet_id": private_subnet,
        "private_subnet_cidr": private_cidr,
        "private_subnet_gw_ip": private_cidr.rsplit(".", 2)[0] + "." + private_cidr.split(".")[2] + ".1",
    }


@pytest.fixture
def topology(aws):
    return build_vpc(aws.ec2)


class _Handler(BaseHTTPRequestHandler):
    def _answer(self):
        self.server.requests.append((self.command, self.path, dict(self.headers)))
        route = self.server.routes.get((self.command, self.path.split("?")[0]))
        if route is None:
            self.send_response(404)
            self.end_headers()
            return
        status, body = route
        data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_PUT = _answer

    def log_message(self, *a):
        pass


@pytest.fixture
def http_service():
    """A loopback HTTP server answering fixed routes: {(method, path): (status, body)}."""
    servers = []

    def start(routes):
        srv = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        srv.routes = routes
        srv.requests = []
        threading.Thread(target=srv.serve_forever, daemon=True).start()
        servers.append(srv)
        srv.url = f"http://127.0.0.1:{srv.server_address[1]}"
        return srv

    yield start
    for s in servers:
        s.shutdown()
        s.server_close()


@pytest.fixture
def echo_ip(http_service, monkeypatch):
    """The public-IP echo service on loopback, wired into the tool."""
    srv = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    monkeypatch.setattr(rollprobe, "PUBLIC_IP_URL", srv.url + "/")
    return srv


@pytest.fixture(scope="session")
def moto_server():
    """A moto server in its own process for console-script runs."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "emulators.moto_server", "0"], cwd=ROOT, stdout=subprocess.PIPE, text=True
    )
    line = proc.stdout.readline()
    assert line.startswith("ready"), line
    url = f"http://127.0.0.1:{int(line.split()[1])}"
    yield url
    proc.terminate()
    proc.wait(10)
    proc.stdout.close()


@pytest.fixture
def faults(moto_server):
    """Sets the emulator's latency and throttling (clearing its counts); all off afterwards."""
    import requests

    def set_faults(**settings):
        requests.post(moto_server + "/__faults__", json=settings)
        requests.post(moto_server + "/__stats__/reset")

    yield set_faults
    set_faults(latency=0, ec2_throttle=0, buckets=0)


@pytest.fixture
def server_clients(moto_server):
    import requests

    requests.post(moto_server + "/moto-api/reset")
    mk = lambda svc: boto3.client(svc, region_name=REGION, endpoint_url=moto_server)  # noqa: E731
    return SimpleNamespace(ec2=mk("ec2"), iam=mk("iam"), s3=mk("s3"), url=moto_server)


def cli_env(moto_url, echo_url=None, **extra):
    """Environment of a console-script run against the emulators."""
    env = dict(os.environ)
    env["AWS_ENDPOINT_URL"] = moto_url
    env["PYTHONPATH"] = str(ROOT / "emulators" / "site")
    if echo_url:
        env["EMULATOR_PUBLIC_IP_URL"] = echo_url
    env.update(extra)
    return env


def tool(name):
    return str(Path(sys.executable).parent / name)


def spoke_scan_args(
    vpc,
    controller_address,
    role="arn:aws:iam::123456789012:role/d",
    password=("--controller_password", "secret"),
    gateway=("--spoke_gw_name", "spoke-1"),
):
    """cellscan's options of a spoke discovery (backup folder "b"); `password`
    and `gateway` are the option words as given (empty: left out)."""
    return [
        *("--vpc", vpc, "--assume_role", role, "--region", REGION, "--backup_folder", "b", "spoke"),
        *("--controller_ip", controller_address, "--controller_user", "admin", *password, *gateway),
    ]


def run_cli(cmd, cwd, env, timeout=300, input=None):
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout, input=input)


@pytest.fixture
def controller():
    from emulators.controller import ControllerEmulator

    ctl = ControllerEmulator().start()
    yield ctl
    ctl.stop()
