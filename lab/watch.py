"""The egress lab as a live cloud: it watches the emulator and runs each test
instance's boot script as soon as the instance is running with its two
interfaces, while the deployment of the others goes on.

- A VPC's namespaces (router, gateways) are built the first time one of its
  test instances appears, and removed when it has none left.
- A terminated instance loses its namespace (and its boot script, if still
  running).
- What a boot script prints is the instance's console output in the
  emulator (a file per instance in CONSOLE_DIR, which the emulator serves
  for GetConsoleOutput), kept current while it runs.
- Failure modes for tests: `drop` (gateway addresses that drop what they
  should forward), `misroute` (test subnets whose default route the lab
  sends to the internet gateway, as a route changed after discovery would),
  `hang` (record-tag prefixes whose boot script never uploads).

    python -m lab watch --endpoint URL [--role ARN ...] [--drop IP] [--hang NAME] [--misroute SUBNET]
"""

import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import boto3

from emulators.moto_ext import CONSOLE_DIR, SERVICE_HEADER
from lab import instance_root, metadata
from lab.netlab import RELAY_PORT, SITE, SITE_NAMES, Lab, _kill_ns, python_version, read_cloud, sh, substitute

# Where the image keeps the user data it runs at first boot.
USER_DATA = "/var/lib/cloud/instance/user-data.txt"

_TAG = re.compile(r"s3://[a-z0-9.-]+/result-(\S+)\.txt")


def account_client(endpoint, role, region):
    """An EC2 client of the emulator in the account of `role` (None: the default one)."""
    if role is None:
        return boto3.client("ec2", region_name=region, endpoint_url=endpoint)
    sts = boto3.client("sts", region_name=region, endpoint_url=endpoint)
    c = sts.assume_role(RoleArn=role, RoleSessionName="egress-lab")["Credentials"]
    return boto3.client(
        "ec2",
        region_name=region,
        endpoint_url=endpoint,
        aws_access_key_id=c["AccessKeyId"],
        aws_secret_access_key=c["SecretAccessKey"],
        aws_session_token=c["SessionToken"],
    )


# An instance's CLI asks the metadata service with a 1 s timeout, once: a
# real one answers in milliseconds, the lab's endpoint (a Python server on a
# shared, busy machine) can take longer, and a timed-out answer reads as an
# instance without credentials, a missing verdict for no fault of the tools.
AWS_CONFIG = """[default]
region = {region}
endpoint_url = http://127.0.0.1:{port}
metadata_service_timeout = 10
metadata_service_num_attempts = 3
"""


class LabWatch(Lab):
    def __init__(self, endpoint, roles=(None,), hang=(), misroute=(), interval=0.5, instance_root=None, **kw):
        super().__init__(endpoint, **kw)
        self.instance_root = instance_root
        self.roles = list(roles)
        self.hang = set(hang)
        self.misroute = set(misroute)
        self.interval = interval
        self.vpcs = {}  # id -> (vpc model, [namespaces])
        self.instances = {}  # id -> (instance model, namespace, boot process or None, log path)
        self.booted = []  # instance ids whose boot script ran to its end
        self.errors = []
        self._vpc_index = 0
        self._instance_index = 0
        self._stop = threading.Event()
        self._thread = None
        self._inet = None
        self._version = None

    # -- life cycle
    def __enter__(self):
        super().__enter__()
        try:
            os.makedirs(CONSOLE_DIR, exist_ok=True)
            self._version = python_version(self.python)
            self._inet = self._ns("inet")
            self._forwarding(self._inet)
            sh("ip", "-n", self._inet, "addr", "add", "203.0.113.10/32", "dev", "lo")
            self._start_listener()
            self._clients = [account_client(self.endpoint, role, self.region) for role in self.roles]
        except BaseException:
            super().__exit__(None, None, None)  # also lets go of the host's lab lock
            raise
        self._thread = threading.Thread(target=self._loop, name="egress-lab", daemon=True)
        self._thread.start()
        self.log(f"   lab: watching {self.endpoint} in {len(self.roles)} account(s)")
        return self

    def __exit__(self, *exc):
        self._stop.set()
        if self._thread:
            self._thread.join(30)
        for iid in list(self.instances):
            self._remove_instance(iid)
        for iid in self.booted + list(self.instances):
            Path(CONSOLE_DIR, f"{iid}.log").unlink(missing_ok=True)
        return super().__exit__(*exc)

    # -- the watch
    def _loop(self):
        while not self._stop.is_set():
            try:
                self._round()
            except Exception as e:  # noqa: BLE001 - the emulator may be busy; the next round tries again
                self.errors.append(str(e))
            self._stop.wait(self.interval)

    def _round(self):
        seen = {}
        for ec2 in self._clients:
            model = read_cloud(ec2)
            for inst in model.instances:
                seen[inst.id] = (inst, model.vpcs[inst.vpc])
        for iid, (inst, vpc) in seen.items():
            if iid not in self.instances and not self._stop.is_set():
                self._add_instance(inst, vpc)
        for iid in [i for i in self.instances if i not in seen]:
            self._remove_instance(iid)
        live_vpcs = {inst.vpc for inst, *_ in self.instances.values()}
        for vpc in [v for v in self.vpcs if v not in live_vpcs]:
            self._remove_vpc(vpc)
        for iid, (inst, ns, proc, log) in list(self.instances.items()):
            if proc is None:
                continue
            self._publish_console(iid, log)
            if proc.poll() is not None:
                self.instances[iid] = (inst, ns, None, log)
                self.booted.append(iid)

    def _add_instance(self, inst, vpc):
        for subnet in self.misroute & set(vpc.targets):
            vpc.targets[subnet] = ("internet",)
        if inst.vpc not in self.vpcs:
            first = len(self.made)
            self._build_vpc(self._vpc_index, vpc, self._inet)
            self._vpc_index += 1
            self.vpcs[inst.vpc] = (vpc, self.made[first:])
        self.model = SimpleNamespace(vpcs={v: m for v, (m, _) in self.vpcs.items()})
        first = len(self.made)
        self._build_instance(self._instance_index, inst)
        self._instance_index += 1
        ns = self.made[first]
        log = self.work / f"{ns}.boot.log"
        proc = self._boot(inst, log) if inst.user_data else None
        self.instances[inst.id] = (inst, ns, proc, log)
        self.log(f"   lab: {inst.id} running in {ns}" + ("" if proc else " (no boot script)"))

    def _boot(self, inst, log):
        if self.instance_root is None:
            script, self.changes = substitute(inst.user_data, self.python, self.wheelhouse, self._version)
        else:
            script = inst.user_data  # byte for byte
        tag = _TAG.search(script)
        if tag and any(tag.group(1) == n or tag.group(1).startswith(n + "-") for n in self.hang):
            # The failure mode "hang": the boot script never uploads.
            script = re.sub(r"^aws s3 cp .*$", "echo 'lab: this instance hangs'; sleep 3600", script, flags=re.M)
        if self.instance_root is None:
            path = self.work / f"{inst.ns}.user-data.sh"
            path.write_text(script)
            path.chmod(0o700)
            command, env = self._private_mounts(inst) + f"exec {path}\n", self.environment()
        else:
            command, env = self._in_root(inst, script), instance_root.ENV
        out = open(log, "w")
        try:
            return subprocess.Popen(
                ["ip", "netns", "exec", inst.ns, "unshare", "--mount", "--propagation", "private", "bash", "-c"]
                + [command],
                env=env,
                stdout=out,
                stderr=subprocess.STDOUT,
            )
        finally:
            out.close()

    def _in_root(self, inst, script):
        """The shell lines that boot `inst` in its overlay of the instance
        root: its /etc (the lab's names, no outside resolver), root's AWS
        config (the emulator's endpoint through the instance's relay), the
        boot script where the image keeps its user data, and a metadata
        endpoint handing out the credentials of the instance's role."""
        folder = self.work / inst.ns
        upper = folder / "upper"
        files = {
            "etc/hosts": f"127.0.0.1 localhost\n{SITE} {' '.join(SITE_NAMES)}\n",
            "etc/resolv.conf": "nameserver 127.0.0.1\n",
            "root/.aws/config": AWS_CONFIG.format(region=self.region, port=RELAY_PORT),
            USER_DATA.lstrip("/"): script,
        }
        for name, text in files.items():
            (upper / name).parent.mkdir(parents=True, exist_ok=True)
            (upper / name).write_text(text)
        (upper / USER_DATA.lstrip("/")).chmod(0o700)
        self._serve_metadata(inst, folder)
        lines = ["set -e", "mount --make-rprivate /"]
        lines += instance_root.mount_lines(self.instance_root, folder, self.wheelhouse)
        lines.append(f"exec chroot {folder}/root {USER_DATA}")
        return "\n".join(lines) + "\n"

    def _serve_metadata(self, inst, folder):
        document = folder / "metadata.json"
        document.write_text(json.dumps(self._instance_identity(inst)))
        document.chmod(0o600)
        sh("ip", "-n", inst.ns, "addr", "add", f"{metadata.ADDRESS}/32", "dev", "lo")
        self._serve_in(inst.ns, "the metadata endpoint", metadata, str(document))

    def _instance_identity(self, inst):
        """The instance's role (through its instance profile) and that role's
        credentials from the emulator's STS."""
        doc = {"instance_id": inst.id, "region": self.region, "role": "none", "credentials": {}}
        if not inst.profile:
            return doc
        account, name = inst.profile.split(":")[4], inst.profile.split("/")[-1]
        session = self._account_session(account)
        iam = session.client("iam", endpoint_url=self.endpoint)
        role = iam.get_instance_profile(InstanceProfileName=name)["InstanceProfile"]["Roles"][0]
        sts = session.client("sts", region_name=self.region, endpoint_url=self.endpoint)
        # As the EC2 service assumes it (the role trusts ec2.amazonaws.com).
        sts.meta.events.register(
            "before-sign.sts.AssumeRole",
            lambda request, **kw: request.headers.__setitem__(SERVICE_HEADER, "ec2.amazonaws.com"),
        )
        c = sts.assume_role(RoleArn=role["Arn"], RoleSessionName=inst.id)["Credentials"]
        now = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        doc["role"] = role["RoleName"]
        doc["credentials"] = {
            "Code": "Success",
            "LastUpdated": now,
            "Type": "AWS-HMAC",
            "AccessKeyId": c["AccessKeyId"],
            "SecretAccessKey": c["SecretAccessKey"],
            "Token": c["SessionToken"],
            "Expiration": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 6 * 3600)),
        }
        return doc

    def _account_session(self, account):
        """A session in `account`: the watched role of that account, or the
        lab's own credentials."""
        role = next((r for r in self.roles if r and r.split(":")[4] == account), None)
        if role is None:
            return boto3.session.Session(region_name=self.region)
        sts = boto3.client("sts", region_name=self.region, endpoint_url=self.endpoint)
        c = sts.assume_role(RoleArn=role, RoleSessionName="egress-lab")["Credentials"]
        return boto3.session.Session(
            aws_access_key_id=c["AccessKeyId"],
            aws_secret_access_key=c["SecretAccessKey"],
            aws_session_token=c["SessionToken"],
            region_name=self.region,
        )

    def _publish_console(self, iid, log):
        target = Path(CONSOLE_DIR, f"{iid}.log")
        tmp = target.with_suffix(".tmp")
        shutil.copyfile(log, tmp)
        os.replace(tmp, target)

    def _drop_namespaces(self, names):
        for ns in names:
            _kill_ns(ns)
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
            shutil.rmtree(Path("/etc/netns") / ns, ignore_errors=True)
            if ns in self.made:
                self.made.remove(ns)

    def _remove_instance(self, iid):
        inst, ns, proc, log = self.instances.pop(iid)
        if proc is not None:
            proc.kill()
            proc.wait()
            self._publish_console(iid, log)
        self._drop_namespaces([ns])
        self.log(f"   lab: {iid} gone")

    def _remove_vpc(self, vpc):
        _, names = self.vpcs.pop(vpc)
        self._drop_namespaces(names)
        self.log(f"   lab: {vpc} has no test instance left: its router and gateways are gone")


def main(argv=None):
    import argparse

    from lab.instance_root import prepare_or_host
    from lab.netlab import LabUnavailable

    p = argparse.ArgumentParser(prog="python -m lab watch", description=__doc__.split("\n\n")[0])
    p.add_argument("--endpoint", required=True, help="the AWS emulator's URL")
    p.add_argument("--role", action="append", default=[], help="a role to assume (one per account; default: none)")
    p.add_argument("--drop", action="append", default=[], help="gateway address that drops what it should forward")
    p.add_argument("--hang", action="append", default=[], help="record-tag prefix whose boot script never uploads")
    p.add_argument("--misroute", action="append", default=[], help="test subnet routed straight to the internet")
    p.add_argument("--region", default="us-east-1")
    args = p.parse_args(argv)
    try:
        wheelhouse, root = prepare_or_host()
        with LabWatch(
            args.endpoint,
            roles=args.role or [None],
            drop=args.drop,
            hang=args.hang,
            misroute=args.misroute,
            region=args.region,
            wheelhouse=wheelhouse,
            instance_root=root,
        ):
            while True:
                time.sleep(1)
    except LabUnavailable as e:
        print(f"lab: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0
