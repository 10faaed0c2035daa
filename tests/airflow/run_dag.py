"""Runs the egress DAG once with dag.test() on a SQLite metadata database
(run by the Airflow environment's interpreter; prints the task states as JSON).

    python run_dag.py INVENTORY RUN_DIR
"""

import json
import os
import subprocess
import sys
from pathlib import Path

inventory, run_dir = sys.argv[1], sys.argv[2]
# The DAG module is plain Python: taken from the checkout (the tools it runs
# are the suite's own build, named by EGRESSCHECK).
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "src"))
home = Path(run_dir) / "airflow-home"
home.mkdir(parents=True, exist_ok=True)
os.environ.update(
    AIRFLOW_HOME=str(home),
    AIRFLOW__CORE__LOAD_EXAMPLES="False",
    AIRFLOW__CORE__UNIT_TEST_MODE="False",
    AIRFLOW__DATABASE__SQL_ALCHEMY_CONN=f"sqlite:///{home}/airflow.db",
)
airflow = str(Path(sys.executable).parent / "airflow")
subprocess.run([airflow, "db", "migrate"], check=True, capture_output=True)

from brimvale_testlibs.airflow import _accounts, egress_dag  # noqa: E402

for account in _accounts(inventory):
    subprocess.run(
        [airflow, "pools", "set", f"egress-{account}", "2", "EC2 request buckets"], check=True, capture_output=True
    )
# The DAG file an operator writes, in the DAG folder (Airflow runs only DAGs
# it has parsed and serialized there).
dags = home / "dags"
dags.mkdir(exist_ok=True)
src = Path(__file__).resolve().parents[2] / "src"
(dags / "egress_test.py").write_text(
    f"import sys\nsys.path.insert(0, {str(src)!r})\n"
    "from brimvale_testlibs.airflow import egress_dag\n"
    f"dag = egress_dag({inventory!r}, dag_id='egress_test', run_dir={run_dir!r})\n"
)
subprocess.run([airflow, "dags", "reserialize"], check=True, capture_output=True)
dag = egress_dag(inventory, dag_id="egress_test", run_dir=run_dir)
run = dag.test()
states = {}
for ti in run.get_task_instances():
    key = ti.task_id if ti.map_index < 0 else f"{ti.task_id}[{ti.map_index}]"
    states[key] = str(ti.state)
print("STATES " + json.dumps(states, sort_keys=True))
