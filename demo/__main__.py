"""A full egress-test cycle on an embedded cloud.

A moto server and the controller emulator run on 127.0.0.1, seeded with
three VPCs: one with NAT gateways over three zones (one of them private), one
with a classic spoke gateway and its HA peer, one with a horizontally scaled
spoke. The real console scripts then discover and deploy (twice); the test
instances' boot scripts run in the egress lab (network namespaces: real
packets, real uploads), with one test subnet mis-routed straight to the
internet gateway and one gateway that drops traffic, whose verdicts must be
FAIL and all others PASS; then results are collected and everything reverted.
Where the lab cannot run (not root, no namespaces), the uploads are simulated
and labelled so. The report shows every step and the final inventory.

    python -m demo [--keep]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from emulators.moto_ext import patch_moto, prepare_environment  # noqa: E402

prepare_environment()
os.environ.pop("AWS_PROFILE", None)

import boto3  # noqa: E402

from emulators import echo as echo_service  # noqa: E402
from emulators.controller import ControllerEmulator  # noqa: E402
from emulators.topology import controller_entries, nat_vpc, spoke_vpc  # noqa: E402

REGION = "us-east-1"
WORK = ROOT / "demo-run"
BUCKET = "brimvale-demo-results"
ROLE = "arn:aws:iam::123456789012:role/brimvale-discovery"
BIN = Path(sys.executable).parent


class Report:
    def __init__(self):
        self.failures = []
        self.started = time.monotonic()

    def step(self, title):
        print(f"\n== {title} ==", flush=True)
        return time.monotonic()

    def done(self, since):
        print(f"   ({time.monotonic() - since:.1f} s)", flush=True)

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
            print(f"   !! FAILED: {what}", flush=True)
        return ok

    @staticmethod
    def table(headers, rows):
        rows = [[str(c) for c in r] for r in rows]
        widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
        line = lambda cells: "   " + "  ".join(c.ljust(w) for c, w in zip(cells, widths))  # noqa: E731
        print(line(headers))
        print(line(["-" * w for w in widths]))
        for r in rows:
            print(line(r))


def start_cloud():
    patch_moto()
    import logging

    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no access log on the console

    moto = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    moto.start()
    host, port = moto.get_host_and_port()
    echo, echo_url = echo_service.start()
    controller = ControllerEmulator().start()
    return SimpleNamespace(moto=moto, url=f"http://{host}:{port}", echo=echo, echo_url=echo_url, controller=controller)


def run_tool(cloud, argv, name, report):
    """Runs a console script; shows progress every 5 s; keeps its stderr."""
    env = dict(
        os.environ,
        AWS_ENDPOINT_URL=cloud.url,
        PYTHONPATH=str(ROOT / "emulators" / "site"),
        EMULATOR_PUBLIC_IP_URL=cloud.echo_url,
    )
    shown = " ".join(a if "password" not in prev else "****" for prev, a in zip([""] + argv, argv))
    print(f"   $ {Path(argv[0]).name} {shown.split(' ', 1)[1]}", flush=True)
    err_path = WORK / f"{name}.stderr"
    began = time.monotonic()
    with open(err_path, "w") as err:
        proc = subprocess.Popen(argv, cwd=WORK, env=env, stdout=subprocess.DEVNULL, stderr=err)
        next_note = 5
        while proc.poll() is None:
            time.sleep(0.2)
            if time.monotonic() - began > next_note:
                print(f"     ... still running ({next_note} s)", flush=True)
                next_note += 5
    report.check(proc.returncode == 0, f"{name}: exit status {proc.returncode} (see {err_path})")
    return proc.returncode, err_path.read_text()


def seed(cloud):
    ec2 = boto3.client("ec2", region_name=REGION, endpoint_url=cloud.url)
    s3 = boto3.client("s3", region_name=REGION, endpoint_url=cloud.url)
    iam = boto3.client("iam", region_name=REGION, endpoint_url=cloud.url)
    nat = nat_vpc(ec2, second_octet=0)
    classic = spoke_vpc(ec2, name="spoke-east", second_octet=100)
    hs = spoke_vpc(ec2, name="spoke-hs", second_octet=110)
    cloud.controller.gateways = controller_entries(classic) + controller_entries(hs, horizontal=True)
    s3.create_bucket(Bucket=BUCKET)
    # One discovery keeps only the NAT gateways its history names.
    (WORK / "nat").mkdir(parents=True)
    history = {"natgws": [{"subnet_id": s, "result": "PASS"} for s in nat.public[:2]]}
    (WORK / "nat" / "history.json").write_text(json.dumps(history, indent=2))
    return SimpleNamespace(ec2=ec2, s3=s3, iam=iam, nat=nat, classic=classic, hs=hs)


def run_lab(cloud, aws, drop, report):
    """Runs every test instance's boot script in the egress lab; False when
    the lab cannot run here (the reason is printed)."""
    from lab.netlab import PREFIX, Lab, LabUnavailable, namespaces, preflight, prepare_wheelhouse

    try:
        preflight()
    except LabUnavailable as e:
        print(f"   lab unavailable: {e}")
        print("   SIMULATED uploads instead (verdicts written by the demo, not measured)")
        return False
    began = time.monotonic()
    wheelhouse = prepare_wheelhouse()
    print(f"   wheelhouse {wheelhouse.relative_to(ROOT)} ready ({time.monotonic() - began:.1f} s)")
    began = time.monotonic()
    with Lab(cloud.url, region=REGION, drop=drop, wheelhouse=wheelhouse) as lab:
        model = lab.build(aws.ec2)
        results = lab.run_boot_scripts()
        for old, new in lab.changes:
            print(f"   boot-script substitution: {old!r} -> {new!r}")
        for inst in model.instances:
            status, output = results[inst.id]
            report.check(status == 0, f"boot script of {inst.id} ended with {status}")
            (WORK / f"boot-{inst.id}.log").write_text(output)
    print(
        f"   lab step: {len(model.instances)} boot scripts in {time.monotonic() - began:.1f} s; "
        f"boot logs in {WORK.name}/boot-<instance>.log"
    )
    left = [ns for ns in namespaces() if ns.startswith(PREFIX)]
    report.check(not left, f"no lab namespace left ({left})")
    return True


def simulate_uploads(aws, outputs, expected):
    from brimvale_testlibs.bin import rollprobe

    for name, recs in outputs.items():
        for r in recs:
            tag = rollprobe.deduceTag(SimpleNamespace(), r)
            verdict = expected[(name, r["private_subnet_id"])]
            aws.s3.put_object(Bucket=BUCKET, Key=f"log-{tag}.txt", Body=f"SIMULATED test log for {tag}\n".encode())
            aws.s3.put_object(Bucket=BUCKET, Key=f"result-{tag}.txt", Body=f"{verdict}\n".encode())


def inventory(aws, vpcs):
    states = ["pending", "running", "stopping", "stopped"]
    instances = aws.ec2.describe_instances(
        Filters=[
            {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]},
            {"Name": "instance-state-name", "Values": states},
        ]
    )
    tagged = {"Name": "tag:Name", "Values": ["brimvale-test-ec2-network-interface"]}
    return {
        "test instances": sum(len(r["Instances"]) for r in instances["Reservations"]),
        "test interfaces": len(aws.ec2.describe_network_interfaces(Filters=[tagged])["NetworkInterfaces"]),
        "elastic IPs of the tool": len(
            aws.ec2.describe_addresses(Filters=[{"Name": "tag:Name", "Values": ["brimvale-test-ec2-eip"]}])["Addresses"]
        ),
        "security groups": len(
            [
                g
                for g in aws.ec2.describe_security_groups()["SecurityGroups"]
                if g["GroupName"].startswith("brimvale-test-ec2")
            ]
        ),
        "key pairs": len(
            [
                k
                for k in aws.ec2.describe_key_pairs()["KeyPairs"]
                if k["KeyName"].startswith("brimvale-test-ec2-key-pair-")
            ]
        ),
        "IAM policies": len(
            [
                p
                for p in aws.iam.list_policies(Scope="Local")["Policies"]
                if p["PolicyName"] == "brimvale-test-ec2-policy"
            ]
        ),
        "IAM roles": len([r for r in aws.iam.list_roles()["Roles"] if r["RoleName"] == "brimvale-test-ec2-role"]),
        "instance profiles": len(aws.iam.list_instance_profiles()["InstanceProfiles"]),
    }


def main():
    parser = argparse.ArgumentParser(description="full egress-test cycle on an embedded cloud")
    parser.add_argument("--keep", action="store_true", help="keep demo-run/ (it is wiped at the start anyway)")
    parser.parse_args()
    report = Report()
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir()

    t = report.step("0. Embedded cloud")
    cloud = start_cloud()
    aws = seed(cloud)
    print(f"   AWS emulator {cloud.url}, controller emulator https://{cloud.controller.address}")
    report.table(
        ["VPC", "kind", "gateways", "test subnets"],
        [
            [aws.nat.vpc, "NAT gateways, 3 zones", f"{len(aws.nat.nats)} public + 1 private", len(aws.nat.public)],
            [aws.classic.vpc, "classic spoke + HA peer", "spoke-east, spoke-east-hagw", 4],
            [aws.hs.vpc, "horizontally scaled spoke", "spoke-hs, spoke-hs-hagw", 4],
        ],
    )
    report.done(t)

    # 1. discovery
    t = report.step("1. Discovery (cellscan)")
    scan = [str(BIN / "cellscan"), "--assume_role", ROLE, "--region", REGION]

    def spoke_scan(vpc, folder, gateway):
        login = ("--controller_ip", cloud.controller.address, "--controller_user", "admin")
        return [
            "--vpc",
            vpc,
            "--backup_folder",
            folder,
            "spoke",
            *login,
            "--controller_password",
            "secret",
            "--spoke_gw_name",
            gateway,
        ]

    runs = {
        "nat": [*scan, "--vpc", aws.nat.vpc, "--backup_folder", "nat", "--s3_bucket", BUCKET, "natgw"],
        "spoke": [*scan, *spoke_scan(aws.classic.vpc, "spoke", "spoke-east")],
        "hs": [*scan, *spoke_scan(aws.hs.vpc, "hs", "spoke-hs"), "--horizontal_scaling"],
    }
    configs = {}
    for name, argv in runs.items():
        run_tool(cloud, argv, f"cellscan-{name}", report)
        path = WORK / name / "subnet.config"
        configs[name] = json.loads(path.read_text()) if path.exists() else []
    rows = [
        [
            name,
            r.get("nat_gw_id") or r.get("gw_name"),
            r["gw_subnet_id"],
            r["private_subnet_id"],
            r["private_subnet_cidr"],
        ]
        for name, recs in configs.items()
        for r in recs
    ]
    print("   nat/history.json names 2 of the 3 public NAT gateways' subnets; the private NAT gateway is ignored")
    report.table(["config", "gateway", "gateway subnet", "test subnet", "test CIDR"], rows)
    report.check(len(configs["nat"]) == 2, "the NAT history keeps 2 of 3 public NAT gateways")
    report.check(len(configs["spoke"]) == 2 and len(configs["hs"]) == 2, "two records per spoke VPC")
    report.done(t)

    # 2. deployment, twice
    outputs = {}
    for attempt in ("first", "second"):
        t = report.step(f"2. Deployment (rollprobe), {attempt} run")
        before = inventory(aws, None)["test instances"]
        for name in configs:
            argv = [
                str(BIN / "rollprobe"),
                "--test_config",
                f"{name}/subnet.config",
                "--output_test_config",
                f"{name}/deployed.config",
                "--backup_folder",
                name,
                "--region",
                REGION,
                "--ec2_role",
                "default",
                "--eip",
                "--tag_resource",
                "team,egress",
                "--s3_bucket",
                BUCKET,
            ]
            code, err = run_tool(cloud, argv, f"rollprobe-{name}-{attempt}", report)
            outputs[name] = json.loads((WORK / name / "deployed.config").read_text())
            if attempt == "second":
                report.check("  Instance brimvale-test-ec2 " not in err, f"{name}: second run launched nothing")
        after = inventory(aws, None)["test instances"]
        rows = []
        for name, recs in outputs.items():
            for r in recs:
                from brimvale_testlibs.bin.rollprobe import getEc2

                iid = getEc2(aws.ec2, r["gw_subnet_id"])[0]
                rows.append(
                    [name, r.get("nat_gw_id") or r.get("gw_name"), iid, r.get("ec2_ip"), r.get("ec2_2nd_private_ip")]
                )
                report.check("ec2_ip" in r and "ec2_2nd_private_ip" in r, f"{name}: addresses written back")
        report.table(["config", "gateway", "test instance", "public IP", "test-subnet IP"], rows)
        print(f"   test instances before {before}, after {after}")
        if attempt == "second":
            report.check(after == before, "the second deployment created nothing")
        report.done(t)

    # 3. the boot scripts, in the egress lab
    expected = {}
    for name, recs in outputs.items():
        for r in recs:
            expected[(name, r["private_subnet_id"])] = "PASS"
    misrouted = outputs["nat"][1]
    table = aws.ec2.describe_route_tables(
        Filters=[{"Name": "association.subnet-id", "Values": [misrouted["private_subnet_id"]]}]
    )["RouteTables"][0]
    aws.ec2.replace_route(RouteTableId=table["RouteTableId"], DestinationCidrBlock="0.0.0.0/0", GatewayId=aws.nat.igw)
    expected[("nat", misrouted["private_subnet_id"])] = "FAIL"
    dropping = outputs["spoke"][1]
    expected[("spoke", dropping["private_subnet_id"])] = "FAIL"
    t = report.step("3. Boot scripts run in the egress lab")
    print(f"   mis-routed: {misrouted['private_subnet_id']} sends 0.0.0.0/0 straight to {aws.nat.igw}")
    print(f"   dropping:   {dropping['gw_name']} ({dropping['gw_private_ip']}) drops what it should forward")
    lab_ran = run_lab(cloud, aws, [dropping["gw_private_ip"]], report)
    if not lab_ran:
        simulate_uploads(aws, outputs, expected)
    report.done(t)

    # 4. results
    t = report.step("4. Results collection (getS3TestResults)")
    from brimvale_testlibs.bin import rollprobe

    s3 = boto3.client("s3", region_name=REGION, endpoint_url=cloud.url)
    rows = []
    for name, recs in outputs.items():
        for i, r in enumerate(recs):
            one = WORK / name / f"record-{i}.json"
            one.write_text(json.dumps([r]))
            flag = rollprobe.getS3TestResults(
                s3, SimpleNamespace(test_config=str(one), s3_bucket=BUCKET, private_subnet_id=None)
            )
            verdict = "PASS" if flag == 0 else "FAIL"
            want = expected[(name, r["private_subnet_id"])]
            rows.append([name, r["private_subnet_id"], rollprobe.deduceTag(SimpleNamespace(), r), verdict, want])
            report.check(verdict == want, f"{name}: verdict for {r['private_subnet_id']} is {verdict}, not {want}")
    report.table(["config", "test subnet", "tag", "verdict", "expected"], rows)
    # The traced paths, from the uploaded log objects: the first PASS and every FAIL.
    shown_pass = False
    for name, subnet, tag, verdict, _ in rows:
        if verdict == "PASS" and shown_pass:
            continue
        shown_pass = shown_pass or verdict == "PASS"
        log = s3.get_object(Bucket=BUCKET, Key=f"log-{tag}.txt")["Body"].read().decode()
        trace = [ln for ln in log.splitlines() if ln.startswith("traceroute to") or ln[:3].strip().isdigit()]
        packets = [ln for ln in log.splitlines() if "packets transmitted" in ln]
        print(f"   {verdict} {name} {subnet} (s3://{BUCKET}/log-{tag}.txt):")
        for ln in packets + trace:
            print(f"     {ln}")
    report.done(t)

    # 5. revert
    t = report.step("5. Revert (rollprobe --revert)")
    names = list(configs)
    for i, name in enumerate(names):
        argv = [
            str(BIN / "rollprobe"),
            "--revert",
            "--test_config",
            f"{name}/subnet.config",
            "--backup_folder",
            name,
            "--region",
            REGION,
            "--eip",
        ]
        if i == len(names) - 1:
            argv += ["--ec2_role", "default"]  # the IAM identity is shared: removed with the last VPC
        run_tool(cloud, argv, f"rollprobe-{name}-revert", report)
    left = inventory(aws, None)
    report.table(["resource made by the tool", "left"], [[k, v] for k, v in left.items()])
    report.check(all(v == 0 for v in left.values()), "nothing the tool made is left")
    report.done(t)

    total = time.monotonic() - report.started
    print(f"\nLogs and configs: {WORK}/ (per-run log: <folder>/log/brimvale_testlibs.log)")
    if report.failures:
        print(f"DEMO FAILED ({len(report.failures)} check(s)) in {total:.1f} s:")
        for f in report.failures:
            print(f"  - {f}")
        code = 1
    else:
        print(f"DEMO OK: every step did what it should ({total:.1f} s)")
        code = 0
    cloud.controller.stop()
    cloud.echo.shutdown()
    cloud.moto.stop()
    return code


if __name__ == "__main__":
    sys.exit(main())
