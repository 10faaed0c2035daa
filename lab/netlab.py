"""The egress lab: real packets on the paths an emulated cloud describes.

After a deployment against the AWS emulator, `Lab` reads what the emulator
holds (VPCs, subnets, route tables, NAT gateways, spoke gateways' interfaces,
the test instances with their two interfaces and their UserData) and builds it
from Linux network namespaces:

- one router namespace per VPC, holding each subnet's first address on a
  bridge and forwarding by each subnet's own route table (a source rule per
  subnet CIDR): the VPC's subnets, then 0.0.0.0/0 to the NAT gateway, the spoke
  gateway's interface or the internet gateway the table names, "unreachable"
  when it names none;
- one namespace per gateway at its private address, forwarding with source
  NAT (or dropping everything it should forward, when told to);
- one "internet" namespace holding the public site (TEST-NET 203.0.113.10),
  linked to every router; the router's uplink masquerades as an internet
  gateway does;
- one namespace per test instance with eth0 (primary address, main default
  route) and eth1 (second address, with its own source rule and table, as the
  instance images set it up), whose boot script runs in a private mount
  namespace (own /tmp and /home/ec2-user).

The boot script runs unchanged but for the substitutions in `substitute`.
Its uploads reach the emulator through a relay over a Unix socket (the lab's
own link): the namespaces get no route out, and every packet of the lab stays
inside its namespaces and the host's loopback.

Every object carries the PREFIX; `clean_stale` removes what a killed run left.
"""

import base64
import fcntl
import hashlib
import ipaddress
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import urlparse

from lab import relay

PREFIX = "bvlab-"
WORK_ROOT = Path("/run")
LOCK = "/run/bvlab.lock"
SITE = "203.0.113.10"
SITE_NAMES = ("www.example.com", "example.com")
RELAY_PORT = 4566
ROOT = Path(__file__).resolve().parent.parent
INSTANCE_TABLE = 10001  # the second interface's routing table on the instance images
TOOLS = ("ip", "ping", "traceroute", "iptables", "unshare", "mount")


class LabUnavailable(RuntimeError):
    """The lab cannot run here; the message says why, in one line."""


def sh(*argv, ns=None, check=True, timeout=60):
    cmd = ["ip", "netns", "exec", ns, *argv] if ns else list(argv)
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)}: {r.stderr.strip() or r.stdout.strip()}")
    return r


def namespaces():
    r = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True)
    return [line.split()[0] for line in r.stdout.splitlines() if line.strip()]


def preflight():
    """Raises LabUnavailable when this machine cannot run the lab."""
    if os.geteuid() != 0:
        raise LabUnavailable("the egress lab needs root (it makes network namespaces)")
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        raise LabUnavailable(f"the egress lab needs {', '.join(missing)} (./run installs them as root)")
    if not (Path(sys.executable).parent / "aws").exists():
        raise LabUnavailable(
            "the egress lab needs the AWS CLI beside this interpreter (awscli, test extra, Python >= 3.10)"
        )
    probe = PREFIX + "probe"
    r = subprocess.run(["ip", "netns", "add", probe], capture_output=True, text=True)
    if r.returncode != 0:
        raise LabUnavailable(f"network namespaces are unavailable: {r.stderr.strip()}")
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)


def clean_stale():
    """Removes every lab object: namespaces (with their links and processes),
    their /etc/netns files and the work folders."""
    for ns in namespaces():
        if ns.startswith(PREFIX):
            _kill_ns(ns)
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
    for folder in Path("/etc/netns").glob(PREFIX + "*"):
        shutil.rmtree(folder, ignore_errors=True)
    for folder in WORK_ROOT.glob(PREFIX + "work-*"):
        shutil.rmtree(folder, ignore_errors=True)


def _kill_ns(ns):
    r = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True)
    for pid in r.stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass


# ---- the wheelhouse the boot script's pip installs from ---------------------


def _digest(paths):
    h = hashlib.sha256()
    for base in paths:
        for p in sorted(Path(base).rglob("*")) if Path(base).is_dir() else [Path(base)]:
            if p.is_file() and "__pycache__" not in p.parts:
                h.update(str(p.relative_to(ROOT)).encode())
                h.update(p.read_bytes())
    return h.hexdigest()


def _dependencies():
    text = (ROOT / "pyproject.toml").read_text()
    block = re.search(r"^dependencies\s*=\s*\[(.*?)\]", text, re.S | re.M).group(1)
    return re.findall(r'"([^"]+)"', block)


def prepare_wheelhouse(python=sys.executable, dest=None):
    """This checkout's wheel for `python`, and its dependencies from PyPI;
    rebuilt only when the sources change. Returns the folder (one per
    interpreter version)."""
    if dest is None:
        dest = ROOT / "build" / f"lab-wheelhouse-py{python_version(python).replace('.', '')}"
    dest = Path(dest)
    dest.mkdir(parents=True, exist_ok=True)
    stamp = dest / ".digest"
    digest = _digest([ROOT / "pyproject.toml", ROOT / "CMakeLists.txt", ROOT / "cpp", ROOT / "src"])
    if stamp.exists() and stamp.read_text() == digest and list(dest.glob("brimvale_testlibs-*.whl")):
        return dest
    for old in dest.glob("brimvale_testlibs-*.whl"):
        old.unlink()
    quiet = ["-q", "--disable-pip-version-check"]
    sh(
        python,
        "-m",
        "pip",
        "wheel",
        *quiet,
        "--no-build-isolation",
        "--no-deps",
        "-w",
        str(dest),
        str(ROOT),
        timeout=1200,
    )
    sh(python, "-m", "pip", "download", *quiet, "--only-binary=:all:", "-d", str(dest), *_dependencies(), timeout=600)
    stamp.write_text(digest)
    return dest


# ---- what the emulator holds --------------------------------------------------


def _subnet_gateway(cidr):
    return str(ipaddress.ip_network(cidr)[1])


def read_cloud(ec2):
    """The model of the lab: test instances, their VPCs, subnets, route
    targets and gateways."""
    states = ["running", "pending"]
    res = ec2.describe_instances(
        Filters=[
            {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]},
            {"Name": "instance-state-name", "Values": states},
        ]
    )
    instances = []
    for inst in (i for r in res["Reservations"] for i in r["Instances"]):
        ifcs = sorted(inst.get("NetworkInterfaces", []), key=lambda i: i.get("Attachment", {}).get("DeviceIndex", 0))
        if len(ifcs) < 2:
            continue
        data = ec2.describe_instance_attribute(InstanceId=inst["InstanceId"], Attribute="userData")
        script = data.get("UserData", {}).get("Value")
        instances.append(
            SimpleNamespace(
                id=inst["InstanceId"],
                vpc=inst["VpcId"],
                primary=(ifcs[0]["PrivateIpAddress"], ifcs[0]["SubnetId"]),
                second=(ifcs[1]["PrivateIpAddress"], ifcs[1]["SubnetId"]),
                user_data=base64.b64decode(script).decode() if script else None,
                profile=inst.get("IamInstanceProfile", {}).get("Arn"),
            )
        )
    vpcs = {}
    for vpc in sorted({i.vpc for i in instances}):
        subnets = {
            s["SubnetId"]: s["CidrBlock"]
            for s in ec2.describe_subnets(Filters=[{"Name": "vpc-id", "Values": [vpc]}])["Subnets"]
        }
        tables = ec2.describe_route_tables(Filters=[{"Name": "vpc-id", "Values": [vpc]}])["RouteTables"]
        listed = ec2.describe_nat_gateways(Filter=[{"Name": "vpc-id", "Values": [vpc]}])["NatGateways"]
        nats = {n["NatGatewayId"]: n["NatGatewayAddresses"][0]["PrivateIp"] for n in listed}
        nat_subnets = {n["NatGatewayId"]: n["SubnetId"] for n in listed}
        main = next((t for t in tables if any(a.get("Main") for a in t.get("Associations", []))), None)
        table_of = {}
        for t in tables:
            for a in t.get("Associations", []):
                if a.get("SubnetId"):
                    table_of[a["SubnetId"]] = t
        targets, gateways = {}, {}
        for subnet in subnets:
            table = table_of.get(subnet, main)
            route = next(
                (r for r in (table or {}).get("Routes", []) if r.get("DestinationCidrBlock") == "0.0.0.0/0"), None
            )
            target = None
            if route and route.get("NatGatewayId") in nats:
                nat = route["NatGatewayId"]
                target = ("gateway", nats[nat])
                gateways[nats[nat]] = nat_subnets[nat]
            elif route and route.get("NetworkInterfaceId"):
                eni = ec2.describe_network_interfaces(NetworkInterfaceIds=[route["NetworkInterfaceId"]])[
                    "NetworkInterfaces"
                ][0]
                target = ("gateway", eni["PrivateIpAddress"])
                gateways[eni["PrivateIpAddress"]] = eni["SubnetId"]
            elif route and str(route.get("GatewayId", "")).startswith("igw-"):
                target = ("internet",)
            targets[subnet] = target
        vpcs[vpc] = SimpleNamespace(id=vpc, subnets=subnets, targets=targets, gateways=gateways)
    return SimpleNamespace(instances=instances, vpcs=vpcs)


# ---- the boot script ------------------------------------------------------------


def python_version(python):
    """ "3.11" for an interpreter's path."""
    return subprocess.check_output(
        [python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], text=True
    ).strip()


def substitute(script, python, wheelhouse, version):
    """The boot script as the lab runs it (`version`: the interpreter's
    major.minor). Each substitution is one a laptop needs; everything else
    stays as the instance would run it. Returns (script, list of (from, to))."""
    changes = [
        ("python3.9 -m venv", f"{python} -m venv"),
        ("lib/python3.9/site-packages", f"lib/python{version}/site-packages"),
        ("pip3 install brimvale-testlibs", f"pip3 install -q --no-index --find-links {wheelhouse} brimvale-testlibs"),
    ]
    for old, new in changes:
        if old not in script:
            raise ValueError(f"the boot script has no {old!r}")
        script = script.replace(old, new)
    return script, changes


class Lab:
    """Builds the lab from the emulator at `endpoint`; use as a context manager
    (the namespaces go away on leaving, also after an error or an interrupt).

    `drop`: private addresses of gateways that drop what they should forward."""

    def __init__(self, endpoint, region="us-east-1", drop=(), python=sys.executable, wheelhouse=None, log=print):
        self.endpoint = endpoint
        self.region = region
        self.drop = set(drop)
        self.python = python
        self.wheelhouse = wheelhouse
        self.log = log
        self.work = None
        self.model = None
        self.made = []
        self.changes = []
        self._listener = None
        self._relays = []
        self._counter = 0

    # -- life cycle
    def __enter__(self):
        preflight()
        # One lab per host: a second one would take the first one's names.
        self._lock = open(LOCK, "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._lock.close()
            raise LabUnavailable(
                "another egress lab runs on this host (one at a time: its names would clash)"
            ) from None
        clean_stale()
        self.work = Path(tempfile.mkdtemp(prefix=PREFIX + "work-", dir=WORK_ROOT))
        self.work.chmod(0o755)
        self._previous_term = None
        if threading.current_thread() is threading.main_thread():
            self._previous_term = signal.signal(signal.SIGTERM, _raise_interrupt)
        return self

    def __exit__(self, *exc):
        self.teardown()
        if self._previous_term is not None:
            signal.signal(signal.SIGTERM, self._previous_term)
        self._lock.close()
        return False

    def teardown(self):
        for proc in self._relays:
            proc.kill()
            proc.wait()
            proc.stdout.close()
        self._relays = []
        if self._listener is not None:
            self._listener.close()
            self._listener = None
        for ns in reversed(self.made):
            _kill_ns(ns)
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
            shutil.rmtree(Path("/etc/netns") / ns, ignore_errors=True)
        self.made = []
        if self.work:
            shutil.rmtree(self.work, ignore_errors=True)

    # -- building blocks
    def _ns(self, name):
        ns = PREFIX + name
        sh("ip", "netns", "add", ns)
        self.made.append(ns)
        sh("ip", "-n", ns, "link", "set", "lo", "up")
        # No ICMP rate limit per peer: the instances of a VPC reach the site
        # from one masqueraded address, and their traceroutes' probes run in
        # parallel; a limited reply would read as a hop that never answers.
        sh("ip", "netns", "exec", ns, "sh", "-c", "echo 0 > /proc/sys/net/ipv4/icmp_ratelimit")
        return ns

    def _forwarding(self, ns):
        sh(
            "sysctl",
            "-q",
            "-w",
            "net.ipv4.ip_forward=1",
            "net.ipv4.conf.all.rp_filter=0",
            "net.ipv4.conf.default.rp_filter=0",
            "net.ipv4.conf.all.send_redirects=0",
            "net.ipv4.conf.default.send_redirects=0",
            "net.ipv4.conf.all.accept_redirects=0",
            "net.ipv4.conf.default.accept_redirects=0",
            ns=ns,
        )

    def _link(self, ns, ifname, router, bridge):
        """A veth from `ns` (named `ifname`) into `router`'s `bridge`."""
        self._counter += 1
        peer = f"bv{self._counter}"
        sh("ip", "link", "add", ifname, "netns", ns, "type", "veth", "peer", "name", peer, "netns", router)
        sh("ip", "-n", router, "link", "set", peer, "master", bridge, "up")
        sh("ip", "-n", ns, "link", "set", ifname, "up")

    # -- the lab
    def build(self, ec2):
        started = time.monotonic()
        self.model = read_cloud(ec2)
        if not self.model.instances:
            raise LabUnavailable("the emulator holds no running test instance with two interfaces")
        inet = self._ns("inet")
        self._forwarding(inet)
        sh("ip", "-n", inet, "addr", "add", SITE + "/32", "dev", "lo")
        for vi, vpc in enumerate(self.model.vpcs.values()):
            self._build_vpc(vi, vpc, inet)
        self._start_listener()
        for ii, inst in enumerate(self.model.instances):
            self._build_instance(ii, inst)
        self.log(
            f"   lab: {len(self.made)} namespaces for {len(self.model.instances)} test instances, "
            f"{len(self.model.vpcs)} VPCs ({time.monotonic() - started:.1f} s)"
        )
        return self.model

    def _build_vpc(self, vi, vpc, inet):
        router = self._ns(f"r{vi}")
        vpc.router = router
        self._forwarding(router)
        inet_ip, up_ip = f"198.51.100.{4 * vi + 1}", f"198.51.100.{4 * vi + 2}"
        sh("ip", "link", "add", f"up{vi}", "netns", inet, "type", "veth", "peer", "name", "uplink", "netns", router)
        sh("ip", "-n", inet, "addr", "add", inet_ip + "/30", "dev", f"up{vi}")
        sh("ip", "-n", inet, "link", "set", f"up{vi}", "up")
        sh("ip", "-n", router, "addr", "add", up_ip + "/30", "dev", "uplink")
        sh("ip", "-n", router, "link", "set", "uplink", "up")
        # The internet gateway: traffic leaves under the router's public address.
        sh("iptables", "-t", "nat", "-A", "POSTROUTING", "-o", "uplink", "-j", "MASQUERADE", ns=router)
        ids = sorted(vpc.subnets)
        vpc.bridge = {s: f"br{j}" for j, s in enumerate(ids)}
        for subnet in ids:
            cidr = ipaddress.ip_network(vpc.subnets[subnet])
            bridge = vpc.bridge[subnet]
            sh("ip", "-n", router, "link", "add", bridge, "type", "bridge")
            sh("ip", "-n", router, "addr", "add", f"{cidr[1]}/{cidr.prefixlen}", "dev", bridge)
            sh("ip", "-n", router, "link", "set", bridge, "up")
        for j, subnet in enumerate(ids):
            table = str(100 + j)
            sh("ip", "-n", router, "rule", "add", "from", vpc.subnets[subnet], "lookup", table, "pref", str(1000 + j))
            for other in ids:
                sh("ip", "-n", router, "route", "add", vpc.subnets[other], "dev", vpc.bridge[other], "table", table)
            target = vpc.targets.get(subnet)
            if target is None:
                sh("ip", "-n", router, "route", "add", "unreachable", "default", "table", table)
            elif target[0] == "internet":
                sh("ip", "-n", router, "route", "add", "default", "via", inet_ip, "table", table)
            else:
                sh("ip", "-n", router, "route", "add", "default", "via", target[1], "table", table)
        for gi, (address, subnet) in enumerate(sorted(vpc.gateways.items())):
            self._build_gateway(f"g{vi}-{gi}", address, subnet, vpc)

    def _build_gateway(self, name, address, subnet, vpc):
        ns = self._ns(name)
        self._forwarding(ns)
        cidr = ipaddress.ip_network(vpc.subnets[subnet])
        self._link(ns, "eth0", vpc.router, vpc.bridge[subnet])
        sh("ip", "-n", ns, "addr", "add", f"{address}/{cidr.prefixlen}", "dev", "eth0")
        sh("ip", "-n", ns, "route", "add", "default", "via", str(cidr[1]))
        sh("iptables", "-t", "nat", "-A", "POSTROUTING", "-o", "eth0", "-j", "MASQUERADE", ns=ns)
        if address in self.drop:
            sh("iptables", "-A", "FORWARD", "-j", "DROP", ns=ns)
            self.log(f"   lab: gateway {address} drops what it should forward")

    def _start_listener(self):
        host = urlparse(self.endpoint)
        self._socket = str(self.work / "s3.sock")
        self._listener = relay.listen_unix(self._socket, f"{host.hostname}:{host.port}")

    def _build_instance(self, ii, inst):
        vpc = self.model.vpcs[inst.vpc]
        ns = self._ns(f"i{ii}")
        inst.ns = ns
        for ifname, (address, subnet) in (("eth0", inst.primary), ("eth1", inst.second)):
            cidr = ipaddress.ip_network(vpc.subnets[subnet])
            self._link(ns, ifname, vpc.router, vpc.bridge[subnet])
            sh("ip", "-n", ns, "addr", "add", f"{address}/{cidr.prefixlen}", "dev", ifname)
        primary_gateway = _subnet_gateway(vpc.subnets[inst.primary[1]])
        sh("ip", "-n", ns, "route", "add", "default", "via", primary_gateway, "dev", "eth0")
        # The second interface's own source rule and table, as the images set them.
        second_ip, second_subnet = inst.second
        table = str(INSTANCE_TABLE)
        sh("ip", "-n", ns, "rule", "add", "from", second_ip, "lookup", table, "pref", table)
        sh("ip", "-n", ns, "route", "add", vpc.subnets[second_subnet], "dev", "eth1", "src", second_ip, "table", table)
        second_gateway = _subnet_gateway(vpc.subnets[second_subnet])
        sh("ip", "-n", ns, "route", "add", "default", "via", second_gateway, "dev", "eth1", "table", table)
        etc = Path("/etc/netns") / ns
        etc.mkdir(parents=True, exist_ok=True)
        (etc / "hosts").write_text(f"127.0.0.1 localhost\n{SITE} {' '.join(SITE_NAMES)}\n")
        (etc / "resolv.conf").write_text("nameserver 127.0.0.1\n")  # no name leaves the lab
        self._serve_in(ns, "the S3 relay", relay, "tcp-to-unix", f"127.0.0.1:{RELAY_PORT}", self._socket)

    def _serve_in(self, ns, what, module, *args):
        """Starts a helper script of the lab (`module`, which prints "ready"
        once it serves) inside namespace `ns`; teardown stops it."""
        proc = subprocess.Popen(
            ["ip", "netns", "exec", ns, self.python, str(Path(module.__file__)), *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        self._relays.append(proc)
        if proc.stdout.readline().strip() != "ready":
            raise RuntimeError(f"{what} of {ns} did not start")

    # -- running things on the instances
    def _private_mounts(self, inst):
        """Shell lines that give the instance its own /tmp and /home, keeping
        the paths the lab needs that live under them."""
        home = self.work / inst.ns
        lines = [
            "set -e",
            "mount --make-rprivate /",
            f"mkdir -p {home}/tmp {home}/home/ec2-user",
            f"chmod 1777 {home}/tmp",
        ]
        keep = {
            Path(sys.prefix),
            Path(sys.base_prefix),
            Path(self.python).resolve().parent.parent,
            ROOT,
            Path(self.wheelhouse) if self.wheelhouse else ROOT,
        }
        for base in ("/tmp", "/home"):
            for path in sorted(keep):
                if Path(base) in path.parents:
                    inner = f"{home}{path}"
                    lines += [f"mkdir -p {inner}", f"mount --bind {path} {inner}"]
        lines += [f"mount --rbind {home}/tmp /tmp", f"mount --rbind {home}/home /home"]
        return "\n".join(lines) + "\n"

    def environment(self):
        env = {
            "PATH": os.pathsep.join(
                [
                    str(Path(sys.executable).parent),
                    "/usr/local/sbin",
                    "/usr/local/bin",
                    "/usr/sbin",
                    "/usr/bin",
                    "/sbin",
                    "/bin",
                ]
            ),
            "HOME": "/root",
            "AWS_ENDPOINT_URL": f"http://127.0.0.1:{RELAY_PORT}",
            "AWS_ACCESS_KEY_ID": "testing",
            "AWS_SECRET_ACCESS_KEY": "testing",
            "AWS_SESSION_TOKEN": "testing",
            "AWS_DEFAULT_REGION": self.region,
            "PIP_DISABLE_PIP_VERSION_CHECK": "1",
        }
        return env

    def exec_in(self, inst, command, timeout=300):
        """Runs a shell command in the instance's namespace, with its private mounts."""
        script = self._private_mounts(inst) + command
        return subprocess.run(
            ["ip", "netns", "exec", inst.ns, "unshare", "--mount", "--propagation", "private", "bash", "-c", script],
            env=self.environment(),
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    def run_boot_scripts(self, timeout=600):
        """Runs every instance's boot script in parallel; returns
        {instance id: (exit status, output)}."""
        if not self.wheelhouse:
            raise RuntimeError("no wheelhouse: call prepare_wheelhouse() and pass it to Lab")
        procs = {}
        version = python_version(self.python)
        for inst in self.model.instances:
            if not inst.user_data:
                procs[inst.id] = None
                continue
            script, self.changes = substitute(inst.user_data, self.python, self.wheelhouse, version)
            path = self.work / f"{inst.ns}.user-data.sh"
            path.write_text(script)
            path.chmod(0o700)  # run as the instance runs it: by its "#!" line
            out = open(self.work / f"{inst.ns}.boot.log", "w")
            command = self._private_mounts(inst) + f"exec {path}\n"
            procs[inst.id] = (
                subprocess.Popen(
                    [
                        "ip",
                        "netns",
                        "exec",
                        inst.ns,
                        "unshare",
                        "--mount",
                        "--propagation",
                        "private",
                        "bash",
                        "-c",
                        command,
                    ],
                    env=self.environment(),
                    stdout=out,
                    stderr=subprocess.STDOUT,
                ),
                out,
            )
        started = time.monotonic()
        next_note = 10
        while any(p and p[0].poll() is None for p in procs.values()):
            elapsed = time.monotonic() - started
            if elapsed > timeout:
                for p in procs.values():
                    if p and p[0].poll() is None:
                        p[0].kill()
                break
            if elapsed > next_note:
                done = sum(1 for p in procs.values() if not p or p[0].poll() is not None)
                self.log(f"   lab: {done}/{len(procs)} boot scripts done ({next_note} s)")
                next_note += 10
            time.sleep(0.2)
        results = {}
        for inst in self.model.instances:
            p = procs[inst.id]
            if p is None:
                results[inst.id] = (None, "no boot script")
                continue
            p[0].wait()
            p[1].close()
            results[inst.id] = (p[0].returncode, (self.work / f"{inst.ns}.boot.log").read_text())
        return results


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")
