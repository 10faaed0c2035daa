"""The product's own command on an embedded cloud.

A moto server, the controller emulator and the egress lab (watching the
emulator: each test instance's boot script runs in network namespaces as
soon as the instance runs) make the cloud; two accounts hold three VPCs: NAT
gateways over three zones (one private; the history file names two of the
three public ones), a classic spoke with its HA peer, a horizontally scaled
spoke. One test subnet is mis-routed (the lab sends its default route to the
internet gateway, as a route changed after discovery would) and one gateway
drops what it should forward. Then:

    egresscheck run --inventory demo-run/estate.yaml --junit demo-run/report.xml --json demo-run/report.json

The demo checks the JSON report against the expected verdicts (the two FAILs,
every other PASS) and the final inventory of both accounts (nothing left),
and ends with DEMO OK only when both hold. Where the lab cannot run (not
root, no namespaces), a player of the instances uploads the expected
verdicts instead, labelled SIMULATED with the reason.

    python -m demo
"""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from emulators.moto_ext import patch_moto, prepare_environment  # noqa: E402

prepare_environment()
os.environ.pop("AWS_PROFILE", None)

from emulators import echo  # noqa: E402
from emulators.controller import ControllerEmulator  # noqa: E402
from emulators.estate import ROLES, leftovers, seed  # noqa: E402
from emulators.topology import ZONES  # noqa: E402

WORK = ROOT / "demo-run"
BIN = Path(sys.executable).parent


def start_cloud():
    import logging

    from moto.server import ThreadedMotoServer

    patch_moto()
    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no access log on the console
    moto = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    moto.start()
    host, port = moto.get_host_and_port()
    return moto, f"http://{host}:{port}"


def instances(url, world, misrouted, dropping):
    """The lab watching the cloud, or the player of the instances where it cannot run."""
    from lab.netlab import LabUnavailable, preflight

    try:
        preflight()
    except LabUnavailable as e:
        from emulators.instances import InstancePlayer

        print(f"lab unavailable: {e}")
        print("SIMULATED verdicts: a player of the instances uploads the expected ones (not measured)")
        return InstancePlayer(url, ROLES.values(), fail={world.nat.nats[1], dropping["gw_name"]})
    from lab.instance_root import prepare_or_host
    from lab.watch import LabWatch

    wheelhouse, root = prepare_or_host()
    print(f"lab: {misrouted} is mis-routed; {dropping['gw_name']} ({dropping['private_ip']}) drops")
    return LabWatch(
        url,
        roles=ROLES.values(),
        misroute={misrouted},
        drop={dropping["private_ip"]},
        wheelhouse=wheelhouse,
        instance_root=root,
    )


def main():
    began = time.monotonic()
    shutil.rmtree(WORK, ignore_errors=True)
    moto, url = start_cloud()
    server, echo_url = echo.start()
    controller = ControllerEmulator().start()
    world = seed(url, controller, str(WORK), deadline=240, nat_zones=ZONES, history=True, identities=True)
    misrouted, dropping = world.nat.private[1][0], world.classic.gateways[1]
    expected = {
        ("prod-nat", world.nat.nats[0]): "PASS",
        ("prod-nat", world.nat.nats[1]): "FAIL",
        ("shared-spoke", "spoke-east"): "PASS",
        ("shared-spoke", "spoke-east-hagw"): "FAIL",
        ("shared-hs", "spoke-hs"): "PASS",
        ("shared-hs", "spoke-hs-hagw"): "PASS",
    }
    print(f"embedded cloud: AWS emulator {url} (accounts {', '.join(r.split(':')[4] for r in ROLES.values())}), ")
    vpcs = ", ".join((world.nat.vpc, world.classic.vpc, world.scaled.vpc))
    print(f"controller emulator https://{controller.address}; VPCs {vpcs}")
    argv = ["egresscheck", "run", "--inventory", "demo-run/estate.yaml", "--run_dir", "demo-run/run"]
    argv += ["--junit", "demo-run/report.xml", "--json", "demo-run/report.json"]
    env = dict(os.environ, AWS_ENDPOINT_URL=url, PYTHONPATH=str(ROOT / "emulators" / "site"))
    env.update(EMULATOR_PUBLIC_IP_URL=echo_url, EMULATOR_POLL="2,2,5")
    failures = []
    with instances(url, world, misrouted, dropping):
        print(f"\n$ {' '.join(argv)}", flush=True)
        status = subprocess.run([str(BIN / argv[0]), *argv[1:]], cwd=ROOT, env=env).returncode
    report = json.loads((WORK / "report.json").read_text()) if (WORK / "report.json").exists() else {"targets": []}
    got = {(t["name"], r["gateway"]): r["verdict"] for t in report["targets"] for r in t["records"]}
    if got != expected:
        failures.append(f"verdicts {got} are not the expected {expected}")
    if status != 1:
        failures.append(f"egresscheck ended with {status}, not 1 (two FAILs, clean-up complete)")
    left = leftovers(url)
    print(f"\nfinal inventory of both accounts: {left}")
    if any(left.values()):
        failures.append(f"left in the cloud: {left}")
    from lab.netlab import PREFIX, namespaces

    try:
        left_ns = [n for n in namespaces() if n.startswith(PREFIX)]
    except OSError:  # no `ip` here: no lab either
        left_ns = []
    print(f"lab namespaces left: {left_ns}")
    if left_ns:
        failures.append("lab namespaces left")
    controller.stop()
    server.shutdown()
    server.server_close()
    moto.stop()
    for f in failures:
        print(f"!! {f}")
    print(f"\n{'DEMO OK' if not failures else 'DEMO FAILED'} ({time.monotonic() - began:.0f} s)")
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
