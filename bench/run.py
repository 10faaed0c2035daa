"""Speed and request counts of the real console scripts against the emulator.

    python -m bench.run [--sizes 1,8,32,128] [--latency 0.2] [--baseline-max 32]

Writes bench/results.json and regenerates the results section of
bench/README.md.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import requests

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from emulators.moto_ext import prepare_environment  # noqa: E402

prepare_environment()
os.environ.pop("AWS_PROFILE", None)

import boto3  # noqa: E402

REGION = "us-east-1"
BIN = Path(sys.executable).parent
AMI = "ami-0a1b2c3d4e5f60718"


class Emulator:
    def __init__(self, latency):
        self.latency = latency
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "emulators.moto_server", "0"], cwd=ROOT, stdout=subprocess.PIPE, text=True
        )
        self.url = f"http://127.0.0.1:{int(self.proc.stdout.readline().split()[1])}"
        self.ec2 = boto3.client("ec2", region_name=REGION, endpoint_url=self.url)
        self.s3 = boto3.client("s3", region_name=REGION, endpoint_url=self.url)

    def faults(self, latency):
        requests.post(self.url + "/__faults__", json={"latency": latency})

    def reset(self):
        requests.post(self.url + "/moto-api/reset")
        self.faults(0)
        requests.post(self.url + "/__stats__/reset")

    def measure_from_here(self):
        self.faults(self.latency)
        requests.post(self.url + "/__stats__/reset")

    def stats(self):
        s = requests.get(self.url + "/__stats__").json()
        self.faults(0)
        return s

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def run_measured(argv, cwd, env):
    """Runs a command; returns wall seconds, CPU seconds, peak RSS (MiB), status."""
    began = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - began
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed ({proc.returncode}): {err.decode()[-2000:]}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss_mib": usage.ru_maxrss / 1024}


def seed_fleet(ec2, n, folder):
    vpc = ec2.create_vpc(CidrBlock="10.0.0.0/16")["Vpc"]["VpcId"]
    records = []
    for i in range(n):
        gw = ec2.create_subnet(VpcId=vpc, CidrBlock=f"10.0.{i}.0/24", AvailabilityZone="us-east-1a")["Subnet"]
        priv = ec2.create_subnet(VpcId=vpc, CidrBlock=f"10.0.{128 + i}.0/24", AvailabilityZone="us-east-1a")["Subnet"]
        records.append(
            {
                "nat_gw_id": f"nat-{i:017x}",
                "gw_private_ip": f"10.0.{i}.10",
                "gw_public_ip": "",
                "gw_subnet_id": gw["SubnetId"],
                "gw_subnet_cidr": gw["CidrBlock"],
                "private_subnet_id": priv["SubnetId"],
                "private_subnet_cidr": priv["CidrBlock"],
                "private_subnet_gw_ip": f"10.0.{128 + i}.1",
            }
        )
    path = folder / f"fleet-{n}.json"
    path.write_text(json.dumps(records))
    return vpc, path


def seed_nat(ec2, n):
    vpc = ec2.create_vpc(CidrBlock="10.1.0.0/16")["Vpc"]["VpcId"]
    for i in range(n):
        pub = ec2.create_subnet(VpcId=vpc, CidrBlock=f"10.1.{i}.0/24", AvailabilityZone="us-east-1a")["Subnet"]
        priv = ec2.create_subnet(VpcId=vpc, CidrBlock=f"10.1.{128 + i}.0/24", AvailabilityZone="us-east-1a")["Subnet"]
        alloc = ec2.allocate_address(Domain="vpc")["AllocationId"]
        nat = ec2.create_nat_gateway(SubnetId=pub["SubnetId"], AllocationId=alloc)["NatGateway"]["NatGatewayId"]
        rt = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rt, DestinationCidrBlock="0.0.0.0/0", NatGatewayId=nat)
        ec2.associate_route_table(RouteTableId=rt, SubnetId=priv["SubnetId"])
    return vpc


SDK_FLOOR = r"""
import json, sys, boto3
from botocore.config import Config
cfg = Config(retries={"mode": "standard", "max_attempts": 10})
rec = json.load(open(sys.argv[1]))[0]
s = boto3.session.Session()
ec2 = s.client("ec2", region_name="us-east-1", config=cfg)
s3 = s.client("s3")
gw, priv = rec["gw_subnet_id"], rec["private_subnet_id"]
name = lambda v: [{"Name": "tag:Name", "Values": [v]}]
vpc = ec2.describe_subnets(SubnetIds=[gw])["Subnets"][0]["VpcId"]
ec2.describe_images(ExecutableUsers=["all"], Owners=["amazon"], IncludeDeprecated=False,
                    Filters=[{"Name": "name", "Values": ["al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"]}])
sgs = []
for g in ("brimvale-test-ec2-sg", "brimvale-test-ec2-private-interface-sg"):
    ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [vpc]}, {"Name": "group-name", "Values": [g]}])
    sgs.append(ec2.create_security_group(Description="d", GroupName=g, VpcId=vpc)["GroupId"])
ec2.authorize_security_group_ingress(GroupId=sgs[0], IpPermissions=[{"FromPort": 22, "IpProtocol": "tcp",
                                     "IpRanges": [{"CidrIp": "203.0.113.7/32"}], "ToPort": 22}])
key = "floor-" + vpc
ec2.describe_key_pairs(Filters=[{"Name": "key-name", "Values": [key]}], IncludePublicKey=True)
ec2.create_key_pair(KeyName=key, KeyType="rsa", KeyFormat="pem")
ec2.describe_instances(Filters=name("brimvale-test-ec2") + [{"Name": "subnet-id", "Values": [gw]}])
launched = ec2.run_instances(InstanceType="t3.micro", MinCount=1, MaxCount=1, ImageId=sys.argv[2], KeyName=key,
                             NetworkInterfaces=[{"DeviceIndex": 0, "SubnetId": gw, "Groups": [sgs[0]]}])
iid = launched["Instances"][0]["InstanceId"]
ec2.get_waiter("instance_status_ok").wait(InstanceIds=[iid])
ec2.describe_instance_status(InstanceIds=[iid])
inst = ec2.describe_instances(InstanceIds=[iid])["Reservations"][0]["Instances"][0]
alloc = ec2.allocate_address(Domain="vpc")["AllocationId"]
ec2.associate_address(AllocationId=alloc, NetworkInterfaceId=inst["NetworkInterfaces"][0]["NetworkInterfaceId"])
inst = ec2.describe_instances(InstanceIds=[iid])["Reservations"][0]["Instances"][0]
ec2.create_tags(Resources=[inst["NetworkInterfaces"][0]["NetworkInterfaceId"]], Tags=[{"Key": "Name", "Value": "x"}])
eni = ec2.create_network_interface(Description="d", Groups=[sgs[1]], SubnetId=priv)["NetworkInterface"]
ec2.attach_network_interface(DeviceIndex=1, InstanceId=iid, NetworkInterfaceId=eni["NetworkInterfaceId"])
ec2.describe_instances(InstanceIds=[iid])
"""


def ops_table(ops, per):
    return {k: round(v / per, 2) for k, v in sorted(ops.items())}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1,8,32,128")
    parser.add_argument("--latency", type=float, default=0.2)
    parser.add_argument(
        "--baseline-max", type=int, default=32, help="largest N also run one record at a time (the baseline)"
    )
    parser.add_argument("--nat-sizes", default="1,64")
    parser.add_argument("--from-results", action="store_true", help="only rewrite the README from results.json")
    a = parser.parse_args()
    if a.from_results:
        write_readme(json.loads((ROOT / "bench" / "results.json").read_text()))
        return
    sizes = [int(x) for x in a.sizes.split(",")]
    emu = Emulator(a.latency)
    work = Path(tempfile.mkdtemp(prefix="bench-"))
    echo = subprocess.Popen([sys.executable, "-m", "emulators.echo"], cwd=ROOT, stdout=subprocess.PIPE, text=True)
    echo_url = f"http://127.0.0.1:{echo.stdout.readline().strip()}/"
    env = dict(
        os.environ,
        AWS_ENDPOINT_URL=emu.url,
        PYTHONPATH=str(ROOT / "emulators" / "site"),
        EMULATOR_PUBLIC_IP_URL=echo_url,
    )
    results = {"latency": a.latency, "fleet": [], "baseline": [], "nat": [], "floor": None}
    try:
        for n in sizes:
            emu.reset()
            vpc, config = seed_fleet(emu.ec2, n, work)
            common = ["--test_config", str(config), "--backup_folder", f"b{n}", "--region", REGION, "--eip"]
            emu.measure_from_here()
            deploy = run_measured(
                [str(BIN / "rollprobe"), *common, "--output_test_config", str(work / "out.json")], work, env
            )
            deploy["stats"] = emu.stats()
            emu.measure_from_here()
            revert = run_measured([str(BIN / "rollprobe"), "--revert", *common], work, env)
            revert["stats"] = emu.stats()
            results["fleet"].append({"n": n, "deploy": deploy, "revert": revert})
            print(f"N={n}: deploy {deploy['wall']:.1f}s revert {revert['wall']:.1f}s", flush=True)
            if n <= a.baseline_max:
                emu.reset()
                vpc, config = seed_fleet(emu.ec2, n, work)
                records = json.loads(config.read_text())
                emu.measure_from_here()
                began = time.monotonic()
                for i, rec in enumerate(records):
                    one = work / f"one-{i}.json"
                    one.write_text(json.dumps([rec]))
                    run_measured(
                        [
                            str(BIN / "rollprobe"),
                            "--test_config",
                            str(one),
                            "--backup_folder",
                            f"b{n}",
                            "--region",
                            REGION,
                            "--eip",
                            "--output_test_config",
                            str(work / "o.json"),
                        ],
                        work,
                        env,
                    )
                results["baseline"].append({"n": n, "wall": time.monotonic() - began})
                emu.stats()
                print(f"N={n}: one at a time {results['baseline'][-1]['wall']:.1f}s", flush=True)

        # the SDK floor: the same requests for one record from a plain boto3 script
        emu.reset()
        vpc, config = seed_fleet(emu.ec2, 1, work)
        floor_script = work / "floor.py"
        floor_script.write_text(SDK_FLOOR)
        emu.measure_from_here()
        floor = run_measured([sys.executable, str(floor_script), str(config), AMI], work, env)
        floor["stats"] = emu.stats()
        results["floor"] = floor
        print(f"SDK floor: {floor['cpu']:.2f}s CPU", flush=True)

        for n in [int(x) for x in a.nat_sizes.split(",")]:
            emu.reset()
            vpc = seed_nat(emu.ec2, n)
            emu.measure_from_here()
            scan = run_measured(
                [
                    str(BIN / "cellscan"),
                    "--vpc",
                    vpc,
                    "--assume_role",
                    "arn:aws:iam::123456789012:role/d",
                    "--region",
                    REGION,
                    "--backup_folder",
                    f"nat{n}",
                    "natgw",
                ],
                work,
                env,
            )
            scan["stats"] = emu.stats()
            results["nat"].append({"n": n, **scan})
            print(f"natgw N={n}: {scan['wall']:.1f}s", flush=True)
    finally:
        emu.stop()
        echo.terminate()
    (ROOT / "bench" / "results.json").write_text(json.dumps(results, indent=2) + "\n")
    write_readme(results)


def write_readme(r):
    lines = [
        "| N | deploy wall s | T(N)/T(1) | revert wall s | T(N)/T(1) | one at a time s | requests/record "
        "(deploy) | tool CPU s | tool peak RSS MiB | emulator CPU ms/request | emulator CPU s (deploy / revert) |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    t1d, t1r = r["fleet"][0]["deploy"]["wall"], r["fleet"][0]["revert"]["wall"]
    base = {b["n"]: b["wall"] for b in r["baseline"]}
    for f in r["fleet"]:
        n, d, v = f["n"], f["deploy"], f["revert"]
        emu_ms = 1000 * d["stats"]["server_cpu_seconds"] / max(1, d["stats"]["requests"])
        emu_d, emu_r = d["stats"]["server_cpu_seconds"], v["stats"]["server_cpu_seconds"]
        # moto serves under one GIL: its CPU time is a floor on the wall time.
        flag = lambda cpu, t1: f"{cpu:.1f}" + (" (bound)" if cpu > 2 * t1 else "")  # noqa: E731
        lines.append(
            f"| {n} | {d['wall']:.1f} | {d['wall'] / t1d:.2f} | {v['wall']:.1f} | {v['wall'] / t1r:.2f} | "
            f"{base[n]:.1f} | "
            if n in base
            else f"| {n} | {d['wall']:.1f} | {d['wall'] / t1d:.2f} | {v['wall']:.1f} | {v['wall'] / t1r:.2f} | - | "
        )
        lines[-1] += (
            f"{d['stats']['requests'] / n:.1f} | {d['cpu']:.2f} | {d['rss_mib']:.0f} | {emu_ms:.1f} | "
            f"{flag(emu_d, t1d)} / {flag(emu_r, t1r)} |"
        )
    one = r["fleet"][0]
    ops_lines = ["| operation | deploy, N=1 | revert, N=1 | deploy per record, N=largest |", "|---|---|---|---|"]
    big = r["fleet"][-1]
    names = sorted(set(one["deploy"]["stats"]["operations"]) | set(one["revert"]["stats"]["operations"]))
    for op in names:
        ops_lines.append(
            f"| {op} | {one['deploy']['stats']['operations'].get(op, 0)} | "
            f"{one['revert']['stats']['operations'].get(op, 0)} | "
            f"{big['deploy']['stats']['operations'].get(op, 0) / big['n']:.2f} |"
        )
    floor = r["floor"]
    nat = ["| NAT gateways | wall s | requests | operations |", "|---|---|---|---|"]
    for s in r["nat"]:
        nat.append(
            f"| {s['n']} | {s['wall']:.1f} | {s['stats']['requests']} | "
            + ", ".join(f"{k.split(':')[1]} {v}" for k, v in sorted(s["stats"]["operations"].items()))
            + " |"
        )
    text = "\n".join(
        [
            f"Latency per request: {r['latency'] * 1000:.0f} ms. Machine: {os.cpu_count()} cores.",
            "",
            "### Fleet deployment and revert",
            "",
            *lines,
            "",
            '"(bound)": the emulator\'s own CPU time alone exceeds 2 x T(1); moto serves every request under one '
            "GIL, so that run cannot meet T(N)/T(1) <= 2 whatever the tool does.",
            "",
            "### Requests by operation",
            "",
            *ops_lines,
            "",
            "### CPU against the SDK floor (one record)",
            "",
            f"- tool, N=1 deployment: {one['deploy']['cpu']:.2f} s CPU, {one['deploy']['stats']['requests']} requests",
            f"- plain boto3 script, the same requests: {floor['cpu']:.2f} s CPU, {floor['stats']['requests']} requests",
            f"- ratio: {one['deploy']['cpu'] / floor['cpu']:.2f}",
            "",
            "### Discovery (cellscan natgw)",
            "",
            *nat,
            "",
        ]
    )
    readme = ROOT / "bench" / "README.md"
    body = readme.read_text()
    start, end = "<!-- results -->", "<!-- /results -->"
    body = re.sub(re.escape(start) + ".*?" + re.escape(end), start + "\n" + text + "\n" + end, body, flags=re.S)
    readme.write_text(body)


if __name__ == "__main__":
    main()
