"""The workflow demo: a full run, its checks, and its handling of bad input."""

import glob
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from vesk_async_task import demo

needs_dask = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="the 'dask' extra is not installed")
EXECUTORS = ["threads", "processes", pytest.param("dask", marks=needs_dask)]
WORKER_NAMES = {"threads": r"worker-\d", "processes": r"process-\d+", "dask": r"tcp://[\d.:]+"}


def run_demo(*args, module="vesk_async_task.demo"):
    return subprocess.run([sys.executable, "-m", module, *args],
                          capture_output=True, text=True, timeout=120)


def start_demo(*args):
    return subprocess.Popen([sys.executable, "-m", "vesk_async_task", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)


def wait_for_progress(demo_run):
    deadline = time.monotonic() + 60
    while "tasks done" not in demo_run.stderr.readline() and time.monotonic() < deadline:
        pass


def pool_workers(parent):
    """Process ids of the pool processes that `parent` spawned."""
    found = []
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(stat[:-4] + "cmdline") as f:
                spawned = "spawn_main" in f.read()
        except (OSError, IndexError):
            continue
        if ppid == parent and spawned:
            found.append(int(stat.split("/")[2]))
    return found


def test_synthetic_run_passes_its_checks_and_accounts_for_every_record():
    # Nothing expires within a minute, so the store must be trimmed to 50 records.
    run = run_demo("--tasks", "3000", "--workers", "3", "--ttl", "60", "--max-records", "50",
                   module="vesk_async_task")
    assert run.returncode == 0, run.stderr
    assert "ran 3000 of 3000 tasks" in run.stdout
    assert "check passed" in run.stdout
    made, expired, trimmed, left, queued, again = map(int, re.search(
        r"(\d+) made = (\d+) expired .* \+ (\d+) trimmed .* \+ (\d+) left;\n"
        r"  one for each of the (\d+) queued tasks, and (\d+) written again", run.stdout).groups())
    assert trimmed > 0 and left == 50 and queued == 3000
    assert made == expired + trimmed + left == queued + again


@pytest.mark.parametrize("executor", EXECUTORS)
def test_failed_tasks_block_their_dependents(tmp_path, executor):
    workflow = {"tasks": [
        {"id": "fetch"},
        {"id": "parse", "after": ["fetch"], "fail": True},
        {"id": "index", "after": ["parse"]},
        {"id": "report", "after": ["index", "fetch"]},
        {"id": "side", "priority": -1},
    ]}
    path = tmp_path / "workflow.json"
    path.write_text(json.dumps(workflow))
    run = run_demo("--workflow", str(path), "--executor", executor, "--workers", "2")
    assert run.returncode == 0, run.stderr
    assert "ran 3 of 5 tasks" in run.stdout
    assert "failed 1, not run because a prerequisite failed 2" in run.stdout
    assert "first failed: parse" in run.stdout
    assert "order the tasks ran in:\n" in run.stdout
    worker = WORKER_NAMES[executor]
    assert re.search(rf"\d\. side +{worker}  completed\n", run.stdout)
    assert re.search(rf"\d\. fetch +{worker}  completed\n(.*\n)*.*\d\. parse +{worker}  failed\n", run.stdout)
    assert re.search(r"-  report +not run: a prerequisite failed\n", run.stdout)
    assert "check passed" in run.stdout and "Traceback" not in run.stderr
    if executor == "threads":
        strict = run_demo("--workflow", str(path), "--strict")
        assert strict.returncode == 1 and "strict: 1 task failed and 2 never ran" in strict.stderr


@pytest.mark.parametrize("executor, reason", [
    ("processes", "its worker process died"),
    pytest.param("dask", "its Dask worker died", marks=needs_dask),
])
def test_a_dead_worker_process_loses_its_tasks_and_the_run_goes_on(tmp_path, executor, reason):
    path = tmp_path / "workflow.json"
    path.write_text(json.dumps({"tasks": [
        *({"id": name} for name in "abcd"), {"id": "e", "priority": 1}, {"id": "f", "after": ["a"]}]}))
    demo_run = start_demo("--executor", executor, "--workers", "2", "--work-ms", "1000",
                          "--workflow", str(path))
    try:
        wait_for_progress(demo_run)  # the pool has started and a-d are in flight
        os.kill(pool_workers(demo_run.pid)[0], signal.SIGKILL)
        out, err = demo_run.communicate(timeout=60)
    finally:
        demo_run.kill()
    # a-d were in flight (twice the slots); e waited, and runs on a new pool or a restarted worker.
    assert demo_run.returncode == 0, err
    assert re.search(rf"lost without an outcome, first [a-d]: {reason}\n", out)
    assert re.search(rf"\d\. e +{WORKER_NAMES[executor]}  completed\n", out) and "check passed" in out
    if executor == "processes":  # a broken pool fails all that it had
        assert "failed 4, not run because a prerequisite failed 1" in out


CLUSTER = """
import logging, time
from distributed import LocalCluster
cluster = LocalCluster(n_workers=1, processes=False, protocol="tcp", dashboard_address=None,
                       silence_logs=logging.CRITICAL)
print(cluster.scheduler_address, flush=True)
time.sleep(120)
"""


@needs_dask
def test_a_dask_cluster_that_goes_away_ends_the_run_with_a_report():
    cluster = subprocess.Popen([sys.executable, "-c", CLUSTER], stdout=subprocess.PIPE, text=True)
    demo_run = None
    try:
        address = cluster.stdout.readline().strip()
        demo_run = start_demo("--dask-scheduler", address, "--workers", "2", "--tasks", "200",
                              "--work-ms", "50")
        wait_for_progress(demo_run)
        cluster.kill()
        out, err = demo_run.communicate(timeout=60)
    finally:
        cluster.kill()
        if demo_run is not None:
            demo_run.kill()
    assert demo_run.returncode == 1, err
    assert out.startswith("stopped: the Dask cluster went away; this is the part that ran\n")
    assert "lost without an outcome" in out and "check passed for the tasks that ran" in out
    assert err.endswith("error: the Dask cluster went away\n") and "Traceback" not in err


@pytest.mark.parametrize("content, message", [
    ('{"tasks": [{"id": "a", "after": ["b"]}, {"id": "b", "after": ["a"]}]}', "form a cycle"),
    ('{"tasks": [{"id": "a", "after": ["a"]}]}', "next): a -> a"),
    ('{"tasks": [{"id": "a", "after": ["zz"]}]}', "unknown task 'zz'"),
    ('{"tasks": [{"id": "a", "priority": "high"}]}', "'priority' must be an integer"),
    ('{"tasks": [{"id": "a", "priority": true}]}', "'priority' must be an integer"),
    ('{"tasks": [{"id": "a", "after": "b"}]}', "'after' must be a list"),
    ('{"tasks": [{"id": "a"}, {"id": "a"}]}', "declared twice"),
    ('{"tasks": [{"name": "a"}]}', "'id' must be a non-empty string"),
    ('{"tasks": [', "not valid JSON"),
    ("[1, 2]", "expected an object with a 'tasks' list"),
])
def test_bad_workflows_exit_2_with_one_line(tmp_path, content, message):
    path = tmp_path / "workflow.json"
    path.write_text(content)
    run = run_demo("--workflow", str(path))
    assert run.returncode == 2
    assert message in run.stderr and "Traceback" not in run.stderr
    assert run.stderr.count("\n") == 1


def test_missing_file_bad_options_and_an_empty_workflow(tmp_path):
    run = run_demo("--workflow", str(tmp_path / "absent.json"))
    assert run.returncode == 2 and "cannot read" in run.stderr and "Traceback" not in run.stderr
    (tmp_path / "empty.json").write_text('{"tasks": []}')
    run = run_demo("--workflow", str(tmp_path / "empty.json"))
    assert run.returncode == 0 and "no tasks: nothing to run" in run.stdout and not run.stderr
    run = run_demo("--tasks", "1" + "0" * 20)  # refused before a single id is built
    assert run.returncode == 2 and "cannot fit in this machine's memory" in run.stderr
    run = run_demo("--workers", "0")
    assert run.returncode == 2 and "Traceback" not in run.stderr
    run = run_demo("--workflow", str(tmp_path / "absent.json"), "--tasks", "5")
    assert run.returncode == 2 and "--tasks describes the synthetic workflow" in run.stderr
    run = run_demo("--executor", "processes", "--dask-scheduler", "tcp://127.0.0.1:8786")
    assert run.returncode == 2 and "--dask-scheduler needs --executor dask" in run.stderr
    without_dask = "import sys; sys.modules['distributed'] = None; import vesk_async_task.__main__"
    run = subprocess.run([sys.executable, "-c", without_dask, "--executor", "dask"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and run.stderr.count("\n") == 1
    assert "needs the optional extra 'dask' (pip install 'vesk_async_task[dask]')" in run.stderr


@pytest.mark.parametrize("executor", EXECUTORS)
def test_ctrl_c_stops_the_run_and_reports_the_part_that_ran(executor):
    demo_run = start_demo("--tasks", "50000", "--executor", executor, "--workers", "2")
    try:
        wait_for_progress(demo_run)
        os.killpg(demo_run.pid, signal.SIGINT)  # as a terminal does: to the pool's processes too
        out, err = demo_run.communicate(timeout=60)
    finally:
        demo_run.kill()
    assert demo_run.returncode == 130, err
    assert "interrupted: the workers were stopped" in out and "check passed for the tasks that ran" in out
    ran, archived = re.search(r"ran (\d+) of .*\n(?:.*\n)*?(\d+) finished tasks? archived", out).groups()
    running = re.search(r"(\d+) of them still running when the workers were stopped", out)
    assert int(ran) - (int(running.group(1)) if running else 0) == int(archived), out
    assert "Traceback" not in err


def test_check_reports_runs_out_of_order_or_twice():
    workflow = demo.Workflow({
        "a": demo.Task("a"),
        "b": demo.Task("b", after=("a",)),
        "c": demo.Task("c", after=("b",)),
    })
    counters = demo.Counters()
    counters.runs = {"a": 1, "b": 2, "c": 1}
    counters.started_at = {"a": 0, "b": 2, "c": 3}
    counters.finished_at = {"a": 1, "b": 4, "c": 5}
    problems = demo.check_run(workflow, counters)
    assert "b ran 2 times" in problems
    assert "c started before its prerequisite b finished" in problems
    counters.runs["b"] = 1
    counters.finished_at["b"] = 2
    assert demo.check_run(workflow, counters) == []
