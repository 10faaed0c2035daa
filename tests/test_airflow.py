"""The per-target job on Apache Airflow: the DAG of brimvale_testlibs.airflow
run once with dag.test() on a SQLite metadata database, against the emulated
estate (two accounts, one FAIL), in the Airflow environment `./run test`
makes (.venv-airflow)."""

import json
import re
import subprocess

import pytest
import requests
from conftest import ROOT, cli_env, tool

from emulators import echo
from emulators.estate import ROLES, leftovers, seed
from emulators.instances import InstancePlayer

AIRFLOW = ROOT / ".venv-airflow" / "bin" / "python"
pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not AIRFLOW.exists(), reason="no .venv-airflow (./run test makes it)"),
]


def test_dag_maps_the_targets_and_merges_their_verdicts(moto_server, controller, tmp_path):
    requests.post(moto_server + "/moto-api/reset")
    srv, url = echo.start()
    world = seed(moto_server, controller, str(tmp_path), deadline=10)
    inventory = json.loads((tmp_path / "estate.yaml").read_text())
    inventory["targets"] = inventory["targets"][:2]  # prod-nat (account 1, ec2_role default), shared-spoke (2)
    (tmp_path / "estate.yaml").write_text(json.dumps(inventory))
    env = cli_env(moto_server, url, EMULATOR_POLL="1,1,2", EGRESSCHECK=tool("egresscheck"))
    with InstancePlayer(moto_server, ROLES.values(), fail={world.nat.nats[0]}):
        r = subprocess.run(
            [
                str(AIRFLOW),
                str(ROOT / "tests/airflow/run_dag.py"),
                str(tmp_path / "estate.yaml"),
                str(tmp_path / "runs"),
            ],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=900,
        )
    srv.shutdown()
    srv.server_close()
    states = json.loads(re.search(r"^STATES (.*)$", r.stdout, re.M).group(1)) if "STATES " in r.stdout else r.stderr
    assert states == {
        "validate": "success",
        "targets_111111111111": "success",
        "targets_222222222222": "success",
        "run_111111111111[0]": "failed",  # a FAIL verdict: failed for good, not retried
        "run_222222222222[0]": "success",
        "report": "success",  # all_done: it runs after a failed target too
    }, r.stderr[-3000:]
    merged = json.loads(next((tmp_path / "runs").glob("manual*/merged.json")).read_text())
    verdicts = {(t["name"], rec["gateway"]): rec["verdict"] for t in merged["targets"] for rec in t["records"]}
    assert verdicts == {
        ("prod-nat", world.nat.nats[0]): "FAIL",
        ("prod-nat", world.nat.nats[1]): "PASS",
        ("shared-spoke", "spoke-east"): "PASS",
        ("shared-spoke", "spoke-east-hagw"): "PASS",
    }
    logs = r.stdout + r.stderr
    assert "try_number=1" in logs and "try_number=2" not in logs  # nothing was retried
    assert leftovers(moto_server) == {"prod": [], "shared": []}
