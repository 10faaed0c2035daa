"""The per-target egress test on Apache Airflow (extra ``airflow``).

A DAG file an operator writes::

    from brimvale_testlibs.airflow import egress_dag

    dag = egress_dag("/etc/egress/estate.yaml", dag_id="egress", schedule="@daily", run_dir="/var/lib/egress")

The DAG: ``validate`` (``egresscheck run --dry_run``: the inventory's schema,
every target's credentials; it returns the targets per account), one mapped
task per account that runs ``egresscheck run --target NAME`` for each of the
account's targets (pool ``egress-<account>``: its slots bound how many chains
of one account run at once; create it with ``airflow pools set egress-<account>
2 "EC2 request buckets of <account>"``, else the DAG's ``max_active_tasks``
bounds them all), and ``report`` (trigger rule ``all_done``: ``egresscheck
report --release_identities``, which also removes each account's instance
identity of ``ec2_role: default``, then, with ``sweep=True``, ``egresscheck sweep --apply`` for what
failed runs left). A task is retried only for an infrastructure failure
(exit 3, clean-up incomplete, or an interrupt); a verdict that is not PASS
(exit 1) or a refused inventory (exit 2) fails it for good.

Plain Python: Airflow loads DAG files as Python. The targets are read from
the inventory when the DAG file is parsed (mapping needs the accounts).
"""

import json
import os
import re
import subprocess
import sys
from datetime import timedelta
from pathlib import Path

# Exit statuses of egresscheck that a retry may cure.
RETRIED = {3, 130, 143}


def _command():
    """egresscheck beside this interpreter, else the one on PATH."""
    beside = Path(sys.executable).parent / "egresscheck"
    return os.environ.get("EGRESSCHECK", str(beside) if beside.exists() else "egresscheck")


def _accounts(inventory):
    """{account: [target names]} of an inventory (its own schema is checked by egresscheck)."""
    import yaml

    with open(inventory, encoding="utf-8") as f:
        data = yaml.safe_load(f)
    defaults = data.get("defaults") or {}
    by_account = {}
    for target in data.get("targets") or []:
        merged = {**defaults, **target}
        found = re.match(r"arn:aws[a-z-]*:iam::(\d{12}):role/", str(merged.get("assume_role", "")))
        account = found.group(1) if found else "profile-" + str(merged.get("profile", "default"))
        by_account.setdefault(account, []).append(str(merged.get("name")))
    return by_account


def _run_folder(run_dir, run_id):
    return os.path.join(run_dir, re.sub(r"[^A-Za-z0-9._-]", "-", run_id))


def _egresscheck(*argv, env=None):
    proc = subprocess.run([_command(), *argv], capture_output=True, text=True, env=env)
    print(proc.stdout)
    print(proc.stderr, file=sys.stderr)
    return proc.returncode


def egress_dag(inventory, dag_id="egress", schedule=None, run_dir="egress-runs", sweep=False, retries=2, **dag_kw):
    from airflow.sdk import DAG, get_current_context, task
    from airflow.sdk.exceptions import AirflowException, AirflowFailException

    inventory = os.path.abspath(inventory)
    accounts = _accounts(inventory)

    def folder():
        return _run_folder(run_dir, get_current_context()["run_id"])

    with DAG(dag_id=dag_id, schedule=schedule, catchup=False, **dag_kw) as dag:

        @task
        def validate():
            status = _egresscheck("run", "--inventory", inventory, "--dry_run", "--run_dir", folder())
            if status != 0:
                raise AirflowFailException(f"the inventory or a target's credentials are refused (exit {status})")
            return accounts

        @task
        def targets_of(checked, account):
            return checked[account]

        @task(retries=retries, retry_delay=timedelta(seconds=30))
        def run_target(target):
            status = _egresscheck("run", "--inventory", inventory, "--target", target, "--run_dir", folder())
            if status in RETRIED:
                raise AirflowException(f"{target}: infrastructure failure (exit {status}): retried")
            if status != 0:
                raise AirflowFailException(f"{target}: not every verdict is PASS (exit {status})")
            return status

        @task(trigger_rule="all_done")
        def report():
            merged = os.path.join(folder(), "merged.json")
            status = _egresscheck("report", folder(), "--release_identities", "--json", merged)
            if sweep:
                _egresscheck("sweep", "--inventory", inventory, "--apply")
            with open(merged, encoding="utf-8") as f:
                doc = json.load(f)
            return {"status": status, "targets": [t["name"] for t in doc["targets"]]}

        checked = validate()
        mapped = []
        for account in accounts:
            names = targets_of.override(task_id=f"targets_{account}")(checked, account)
            mapped.append(run_target.override(task_id=f"run_{account}", pool=f"egress-{account}").expand(target=names))
        mapped >> report()
    return dag
