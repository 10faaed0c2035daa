"""Egress test run on a test instance by its boot script:

    python3 -m unittest -v tests.py

next to the config.json the boot script writes, with the keys "ping" (a host
to ping), "traceroute" (a host to trace the route to) and "spoke_gw" (the
address of the gateway under test). The test passes only when the ping
succeeds and the traced path goes through the gateway, i.e. traffic leaves
through the egress path under test. "PASS" or "FAIL" is written to the result
file whatever happens; the unittest output goes to the log on stderr.

A test instance has two interfaces: the primary one (in the gateway's own
subnet) carries the main routing table's default route; only traffic sent
from the second interface's address follows the test subnet's route table
(the image installs a source rule and a routing table per secondary
interface). Both probes are therefore sent from that address.

Standard library only: it runs on the instance image's Python 3.9.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest

RESULT_PATH = "/tmp/result.txt"
CONFIG_PATH = os.path.join(os.getcwd(), "config.json")
PING_COUNT = 3
TIMEOUT = 120

_outcome = {"passed": False}


def _load_config():
    with open(CONFIG_PATH, encoding="utf-8") as f:
        config = json.load(f)
    for key in ("ping", "traceroute", "spoke_gw"):
        if not isinstance(config.get(key), str) or not config[key]:
            raise ValueError(f"config.json has no {key!r}")
    return config


def _run(tool, *argv):
    path = shutil.which(tool)
    if path is None:
        raise FileNotFoundError(f"{tool} is not installed")
    return subprocess.run([path, *argv], capture_output=True, text=True, timeout=TIMEOUT)


def second_interface():
    """(name, IPv4 address) of the first interface with a global IPv4 address
    that does not carry the main table's default route."""
    routes = _run("ip", "-4", "route", "show", "default", "table", "main").stdout
    default_devices = set(re.findall(r"\bdev (\S+)", routes))
    if not default_devices:
        raise LookupError("the main routing table has no default route")
    for line in _run("ip", "-4", "-o", "addr", "show").stdout.splitlines():
        found = re.match(r"\d+:\s+(\S+)\s+inet\s+(\d{1,3}(?:\.\d{1,3}){3})/\d+", line)
        if not found or "scope global" not in line:
            continue
        device, address = found.group(1).split("@")[0], found.group(2)
        if device != "lo" and device not in default_devices:
            return device, address
    raise LookupError(f"no second interface with an IPv4 address (default route on {sorted(default_devices)})")


def hops(traceroute_output):
    """The addresses of the traced path, in order."""
    found = []
    for line in traceroute_output.splitlines()[1:]:
        found.extend(re.findall(r"\b(\d{1,3}(?:\.\d{1,3}){3})\b", line))
    return found


def egress_verdict(config, source):
    """(passed, reason): ping and trace from `source` (an address, or None for
    the kernel's choice); passed when the ping succeeds and the gateway is
    among the traced hops. The tools' output goes to the log."""
    bind = ["-I", source] if source else []
    ping = _run("ping", "-c", str(PING_COUNT), "-W", "5", *bind, config["ping"])
    print(ping.stdout, file=sys.stderr)
    if ping.returncode != 0:
        return False, f"ping {config['ping']} from {source} failed: {ping.stderr.strip() or ping.stdout[-200:]}"
    bind = ["-s", source] if source else []
    trace = _run("traceroute", "-n", *bind, "-q", "2", "-w", "3", "-m", "20", config["traceroute"])
    print(trace.stdout, file=sys.stderr)
    if trace.returncode != 0:
        return False, f"traceroute {config['traceroute']} failed: {trace.stderr.strip()}"
    path = hops(trace.stdout)
    if config["spoke_gw"] not in path:
        return False, f"the path to {config['traceroute']} does not go through {config['spoke_gw']}: {path}"
    return True, "the path goes through " + config["spoke_gw"]


def _write_result(passed):
    with open(RESULT_PATH, "w", encoding="utf-8") as f:
        f.write("PASS\n" if passed else "FAIL\n")


# A run that breaks off anywhere leaves a FAIL behind.
_write_result(False)


class EgressTest(unittest.TestCase):
    def test_egress_path(self):
        config = _load_config()
        device, source = second_interface()
        print(f"second interface {device} {source}", file=sys.stderr)
        passed, reason = egress_verdict(config, source)
        self.assertTrue(passed, reason)
        _outcome["passed"] = True


def tearDownModule():
    _write_result(_outcome["passed"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
