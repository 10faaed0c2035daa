"""Fleets under EC2's documented request throttling (token buckets per account
and region), the real console script, one or several chains at once.

    python -m bench.throttle [--shapes 1x32,1x128,1x256,2x64,2x128,16x8] [--latency 0.2]
                             [--bin DIR] [--label new] [--out bench/throttle.json]

A shape CxN runs C chains (VPCs of one account, started together) of N
records each: deploy with --eip, then revert. For every run: wall time, the
floor it is held to, their ratio, throttled requests, lost records (no
addresses written back), leftovers after the revert, and the emulator's CPU.

The floor: every action has its own bucket; a run that sends R requests into a
bucket of size S and refill F per second needs at least (R - S) / F seconds,
so the floor is the largest of these over the buckets the run used, plus one
record's critical path (the same tool's unthrottled one-record run).
"""

import argparse
import json
import os
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

from emulators.moto_server import CATEGORIES, category  # noqa: E402

REGION = "us-east-1"


def seed(ec2, chain, n, folder):
    """One VPC of n (gateway subnet, test subnet) pairs of /26 blocks."""
    vpc = ec2.create_vpc(CidrBlock=f"10.{chain}.0.0/16")["Vpc"]["VpcId"]

    def block(k):
        return f"10.{chain}.{k // 4}.{(k % 4) * 64}/26"

    records = []
    for i in range(n):
        gw = ec2.create_subnet(VpcId=vpc, CidrBlock=block(2 * i))["Subnet"]
        priv = ec2.create_subnet(VpcId=vpc, CidrBlock=block(2 * i + 1))["Subnet"]
        records.append(
            {
                "nat_gw_id": f"nat-{chain:04x}{i:013x}",
                "gw_private_ip": gw["CidrBlock"][:-3],
                "gw_subnet_id": gw["SubnetId"],
                "private_subnet_id": priv["SubnetId"],
                "private_subnet_cidr": priv["CidrBlock"],
            }
        )
    path = folder / f"chain-{chain}.json"
    path.write_text(json.dumps(records))
    return vpc, path


def floor_of(operations, critical):
    worst, binding = 0.0, None
    for op, count in operations.items():
        service, action = op.split(":", 1)
        if service != "ec2":
            continue
        size, refill = CATEGORIES[category(action, {"Filter.1.Name": ["x"]})]
        need = (count - size) / refill
        if need > worst:
            worst, binding = need, action
    return worst + critical, binding


class Server:
    def __init__(self, latency):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "emulators.moto_server", "0"], cwd=ROOT, stdout=subprocess.PIPE, text=True
        )
        self.url = f"http://127.0.0.1:{int(self.proc.stdout.readline().split()[1])}"
        self.latency = latency

    def set(self, **kw):
        requests.post(self.url + "/__faults__", json=kw)

    def reset(self):
        requests.post(self.url + "/moto-api/reset")
        self.set(latency=0, buckets=0)
        requests.post(self.url + "/__stats__/reset")

    def stats(self):
        return requests.get(self.url + "/__stats__").json()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def run_chains(server, tool, chains, work, env, revert=False):
    procs = []
    began = time.monotonic()
    for c, (_vpc, config) in enumerate(chains):
        argv = [tool, "--test_config", str(config), "--backup_folder", f"b{c}", "--region", REGION, "--eip"]
        argv += ["--revert"] if revert else ["--output_test_config", str(work / f"out-{c}.json")]
        procs.append(
            subprocess.Popen(
                argv,
                cwd=work,
                env=env,
                stdout=subprocess.DEVNULL,
                stderr=open(work / f"{'revert' if revert else 'deploy'}-{c}.log", "w"),
            )
        )
    codes = [p.wait() for p in procs]
    return time.monotonic() - began, codes


def leftovers(ec2):
    live = ["pending", "running", "stopping", "stopped"]
    res = ec2.describe_instances(
        Filters=[{"Name": "tag:Name", "Values": ["brimvale-test-ec2"]}, {"Name": "instance-state-name", "Values": live}]
    )
    groups = [g for g in ec2.describe_security_groups()["SecurityGroups"] if g["GroupName"] != "default"]
    return (
        sum(len(r["Instances"]) for r in res["Reservations"])
        + len(groups)
        + len(ec2.describe_addresses()["Addresses"])
        + len(ec2.describe_key_pairs()["KeyPairs"])
    )


def measure(server, tool, shape, work, env, buckets):
    count, n = shape
    server.reset()
    ec2 = boto3.client("ec2", region_name=REGION, endpoint_url=server.url)
    chains = [seed(ec2, c, n, work) for c in range(count)]
    row = {"shape": f"{count}x{n}"}
    for phase in ("deploy", "revert"):
        server.set(latency=server.latency, buckets=buckets)
        requests.post(server.url + "/__stats__/reset")
        wall, codes = run_chains(server, tool, chains, work, env, revert=phase == "revert")
        stats = server.stats()
        server.set(latency=0, buckets=0)
        row[phase] = {
            "wall": round(wall, 1),
            "codes": codes,
            "throttled": stats["throttled"],
            "throttled_operations": stats.get("throttled_operations", {}),
            "operations": stats["operations"],
            "emulator_cpu": round(stats["server_cpu_seconds"], 1),
        }
        if phase == "deploy":
            lost = 0
            for c in range(count):
                out = work / f"out-{c}.json"
                recs = json.loads(out.read_text()) if out.exists() else []
                lost += n - sum(1 for r in recs if "ec2_ip" in r and "ec2_2nd_private_ip" in r)
            row["lost"] = lost
    row["leftovers"] = leftovers(ec2)
    return row


def render(results):
    """The README section: one row per shape and design."""
    lines = [
        "| design | shape | deploy s | floor s (binding) | ratio | throttled | lost | revert s | floor s "
        "(binding) | ratio | throttled | revert exit | leftovers | emulator CPU s (deploy / revert) |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for label in ("shipped", "new"):
        for row in results.get(label, {}).get("rows", []):
            d, r = row["deploy"], row["revert"]
            lines.append(
                f"| {label} | {row['shape']} | {d['wall']} | {d['floor']} ({d['binding']}) | {d['ratio']} | "
                f"{d['throttled']} | {row['lost']} | {r['wall']} | {r['floor']} ({r['binding']}) | "
                f"{r['ratio']} | {r['throttled']} | {','.join(map(str, sorted(set(r['codes']))))} | "
                f"{row['leftovers']} | {d['emulator_cpu']} / {r['emulator_cpu']} |"
            )
    return "\n".join(lines)


def write_readme(results):
    readme = ROOT / "bench" / "README.md"
    text = readme.read_text()
    start, end = "<!-- throttle -->", "<!-- /throttle -->"
    body = f"{start}\n{render(results)}\n{end}"
    if start in text:
        text = text[: text.index(start)] + body + text[text.index(end) + len(end) :]
    else:
        text += "\n" + body + "\n"
    readme.write_text(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shapes", default="1x32,1x128,1x256,2x64,2x128,16x8")
    parser.add_argument("--latency", type=float, default=0.2)
    parser.add_argument("--buckets", type=float, default=1.0, help="bucket factor (1: the documented sizes)")
    parser.add_argument("--bin", default=str(Path(sys.executable).parent), help="folder of the rollprobe to run")
    parser.add_argument("--label", default="new")
    parser.add_argument("--out", default=str(ROOT / "bench" / "throttle.json"))
    parser.add_argument("--readme", action="store_true", help="only rewrite the README section from --out")
    a = parser.parse_args()
    if a.readme:
        write_readme(json.loads(Path(a.out).read_text()))
        return
    shapes = [tuple(int(x) for x in s.split("x")) for s in a.shapes.split(",")]
    tool = str(Path(a.bin) / "rollprobe")
    server = Server(a.latency)
    work = Path(tempfile.mkdtemp(prefix="bench-throttle-"))
    echo = subprocess.Popen([sys.executable, "-m", "emulators.echo"], cwd=ROOT, stdout=subprocess.PIPE, text=True)
    env = dict(
        os.environ,
        AWS_ENDPOINT_URL=server.url,
        PYTHONPATH=str(ROOT / "emulators" / "site"),
        EMULATOR_PUBLIC_IP_URL=f"http://127.0.0.1:{echo.stdout.readline().strip()}/",
    )
    out = Path(a.out)
    results = json.loads(out.read_text()) if out.exists() else {}
    try:
        critical = measure(server, tool, (1, 1), work, env, 0)
        rows = []
        for shape in shapes:
            row = measure(server, tool, shape, work, env, a.buckets)
            for phase in ("deploy", "revert"):
                floor, binding = floor_of(row[phase]["operations"], critical[phase]["wall"])
                row[phase]["floor"] = round(floor, 1)
                row[phase]["binding"] = binding
                row[phase]["ratio"] = round(row[phase]["wall"] / floor, 2)
            rows.append(row)
            print(
                f"{a.label} {row['shape']}: deploy {row['deploy']['wall']} s (floor {row['deploy']['floor']}, "
                f"x{row['deploy']['ratio']}, {row['deploy']['throttled']} throttled), lost {row['lost']}; "
                f"revert {row['revert']['wall']} s (floor {row['revert']['floor']}, x{row['revert']['ratio']}, "
                f"exit {row['revert']['codes']}), leftovers {row['leftovers']}",
                flush=True,
            )
        results[a.label] = {"latency": a.latency, "critical": critical, "rows": rows}
        out.write_text(json.dumps(results, indent=1))
        write_readme(results)
    finally:
        echo.terminate()
        server.stop()


if __name__ == "__main__":
    main()
