"""Egress test run on a test instance by its boot script:

    python3 -m unittest -v tests.py

next to the config.json the boot script writes, with the keys "ping" (a host
to ping), "traceroute" (a host to trace the route to) and "spoke_gw" (the
address of the gateway under test). The test passes only when the ping
succeeds and the traced path goes through the gateway, i.e. traffic leaves
through the egress path under test. "PASS" or "FAIL" is written to the result
file whatever happens; the unittest output goes to the log on stderr.
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


def hops(traceroute_output):
    """The addresses of the traced path, in order."""
    found = []
    for line in traceroute_output.splitlines()[1:]:
        found.extend(re.findall(r"\b(\d{1,3}(?:\.\d{1,3}){3})\b", line))
    return found


def _write_result(passed):
    with open(RESULT_PATH, "w", encoding="utf-8") as f:
        f.write("PASS\n" if passed else "FAIL\n")


# A run that breaks off anywhere leaves a FAIL behind.
_write_result(False)


class EgressTest(unittest.TestCase):
    def test_egress_path(self):
        config = _load_config()
        ping = _run("ping", "-c", str(PING_COUNT), "-W", "5", config["ping"])
        print(ping.stdout, file=sys.stderr)
        self.assertEqual(ping.returncode, 0, f"ping {config['ping']} failed: {ping.stderr.strip()}")
        trace = _run("traceroute", "-n", config["traceroute"])
        print(trace.stdout, file=sys.stderr)
        self.assertEqual(trace.returncode, 0, f"traceroute {config['traceroute']} failed: {trace.stderr.strip()}")
        path = hops(trace.stdout)
        self.assertIn(config["spoke_gw"], path,
                      f"the path to {config['traceroute']} does not go through {config['spoke_gw']}: {path}")
        _outcome["passed"] = True


def tearDownModule():
    _write_result(_outcome["passed"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
