"""Estates under EC2's documented request throttling: `egresscheck run` over
A accounts x V VPCs x G NAT gateways, the test instances played by a helper
that uploads each verdict 30 s after its instance runs.

    python -m bench.estate [--shapes 1x4x4,4x4x4,8x4x4] [--latency 0.2] [--parallel 32] [--per_account 4]
                           [--out bench/estate.json]

The emulator keeps one set of token buckets per account and region (an
assumed role's temporary keys count as its account). Per estate: wall time
per stage and in all, the floor and the ratio, lost records (no verdict),
leftovers, the emulator's CPU time, the runner's and the children's peak
memory.

The floor: the busiest account's throttle-bound work (for each EC2 action,
(requests answered - bucket size) / refill per second, the largest over the
account's actions, as the throttle bench computes it) plus one target's
critical path alone (the 1x1x4 run's wall time: discovery, an unthrottled
deployment, the 30 s boot, one poll interval, the revert).
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from emulators.moto_ext import prepare_environment  # noqa: E402

prepare_environment()
os.environ.pop("AWS_PROFILE", None)

from bench.throttle import Server  # noqa: E402
from emulators import echo  # noqa: E402
from emulators.estate import client, leftovers  # noqa: E402
from emulators.instances import InstancePlayer  # noqa: E402
from emulators.moto_server import CATEGORIES, category  # noqa: E402
from emulators.topology import nat_vpc  # noqa: E402

BUCKET = "bench-results"
ZONES = ("us-east-1a", "us-east-1b", "us-east-1c", "us-east-1d")


def role(a):
    return f"arn:aws:iam::{100000000000 + a:012d}:role/brimvale-deployer"


def seed(url, accounts, vpcs, gateways, folder):
    targets = []
    for a in range(accounts):
        ec2 = client(url, role(a), "ec2")
        for v in range(vpcs):
            topo = nat_vpc(ec2, second_octet=v * 10, zones=ZONES[:gateways], private_nat=False)
            targets.append({"name": f"a{a}-v{v}", "kind": "natgw", "vpc": topo.vpc, "assume_role": role(a)})
    client(url, None, "s3").create_bucket(Bucket=BUCKET)
    inventory = {"defaults": {"region": "us-east-1", "s3_bucket": BUCKET, "deadline": 600}}
    inventory["targets"] = targets
    (folder / "estate.yaml").write_text(json.dumps(inventory))


def account_floor(operations):
    worst = 0.0
    for op, count in operations.items():
        service, action = op.split(":", 1)
        if service != "ec2":
            continue
        size, refill = CATEGORIES[category(action, {"Filter.1.Name": ["x"]})]
        worst = max(worst, (count - size) / refill)
    return worst


def peak_rss(pid, box):
    """Samples a process's high-water mark of resident memory (kB)."""
    path = f"/proc/{pid}/status"
    while True:
        try:
            text = Path(path).read_text()
        except OSError:
            return
        for line in text.splitlines():
            if line.startswith("VmHWM:"):
                box["kb"] = max(box.get("kb", 0), int(line.split()[1]))
        time.sleep(0.5)


def run(server, shape, args, echo_url):
    accounts, vpcs, gateways = (int(x) for x in shape.split("x"))
    server.reset()
    work = Path(tempfile.mkdtemp(prefix=f"estate-{shape}-"))
    seed(server.url, accounts, vpcs, gateways, work)
    server.set(latency=args.latency, buckets=1.0)
    requests_reset = __import__("requests").post
    requests_reset(server.url + "/__stats__/reset")
    env = dict(os.environ, AWS_ENDPOINT_URL=server.url, PYTHONPATH=str(ROOT / "emulators" / "site"))
    env["EMULATOR_PUBLIC_IP_URL"] = echo_url
    argv = [str(Path(sys.executable).parent / "egresscheck"), "run", "--inventory", "estate.yaml"]
    argv += ["--run_dir", "runs/r", "--parallel", str(args.parallel), "--per_account", str(args.per_account)]
    roles = [role(a) for a in range(accounts)]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with InstancePlayer(server.url, roles, delay=30, interval=1.0):
        began = time.monotonic()
        proc = subprocess.Popen(argv, cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=open(work / "run.log", "w"))
        mem = {}
        threading.Thread(target=peak_rss, args=(proc.pid, mem), daemon=True).start()
        status = proc.wait()
        wall = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    tools_cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    stats = server.stats()
    doc = json.loads((work / "runs/r/report.json").read_text())
    stages = {}
    for t in doc["targets"]:
        for name, s in t["stages"].items():
            start = time.mktime(time.strptime(s["start"], "%Y-%m-%dT%H:%M:%SZ"))
            end = time.mktime(time.strptime(s["end"], "%Y-%m-%dT%H:%M:%SZ"))
            stages.setdefault(name, []).append((start, end))
    per_stage = {k: round(max(e for _, e in v) - min(s for s, _ in v), 1) for k, v in stages.items()}
    records = [r for t in doc["targets"] for r in t["records"]]
    lost = sum(1 for r in records if r["verdict"] != "PASS")
    left = sum(len(v) for v in leftovers_of(server.url, roles).values())
    busiest = max(account_floor(ops) for acct, ops in stats["accounts"].items() if acct in {r[13:25] for r in roles})
    return {
        "shape": shape,
        "records": len(records),
        "status": status,
        "wall_s": round(wall, 1),
        "stages_s": per_stage,
        "throttle_bound_s": round(busiest, 1),
        "lost": lost,
        "leftovers": left,
        "throttled": stats["throttled"],
        "emulator_cpu_s": round(stats["server_cpu_seconds"], 1),
        "tools_cpu_s": round(tools_cpu, 1),
        "runner_peak_mb": round(mem.get("kb", 0) / 1024, 1),
        "children_peak_mb": round(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024, 1),
    }


def leftovers_of(url, roles):
    from emulators import estate

    saved = estate.ROLES
    estate.ROLES = {r: r for r in roles}
    try:
        return leftovers(url)
    finally:
        estate.ROLES = saved


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--shapes", default="1x1x4,1x4x4,4x4x4,8x4x4")
    p.add_argument("--latency", type=float, default=0.2)
    p.add_argument("--parallel", type=int, default=32)
    p.add_argument("--per_account", type=int, default=4)
    p.add_argument("--out", default=str(ROOT / "bench" / "estate.json"))
    args = p.parse_args()
    server = Server(args.latency)
    srv, echo_url = echo.start()
    rows = []
    try:
        for shape in args.shapes.split(","):
            row = run(server, shape, args, echo_url)
            rows.append(row)
            print(json.dumps(row), flush=True)
    finally:
        server.stop()
        srv.shutdown()
    critical = next((r["wall_s"] for r in rows if r["shape"] == "1x1x4"), None)
    base = next((r["wall_s"] for r in rows if r["shape"] == "1x4x4"), None)
    for r in rows:
        if critical:
            r["floor_s"] = round(r["throttle_bound_s"] + critical, 1)
            r["ratio"] = round(r["wall_s"] / r["floor_s"], 2)
        if base:
            r["vs_16_records"] = round(r["wall_s"] / base, 2)
    Path(args.out).write_text(json.dumps({"latency": args.latency, "rows": rows}, indent=2) + "\n")
    print(
        f"{'shape':8} {'records':>7} {'wall s':>7} {'floor s':>7} {'ratio':>5} {'vs 16':>5} {'lost':>4} {'left':>4} "
        f"{'emu cpu':>7} {'runner MB':>9} {'child MB':>8}  stages"
    )
    for r in rows:
        print(
            f"{r['shape']:8} {r['records']:7} {r['wall_s']:7} {r.get('floor_s', ''):>7} {r.get('ratio', ''):>5} "
            f"{r.get('vs_16_records', ''):>5} {r['lost']:4} {r['leftovers']:4} {r['emulator_cpu_s']:7} "
            f"{r['runner_peak_mb']:9} {r['children_peak_mb']:8}  {r['stages_s']}"
        )


if __name__ == "__main__":
    main()
