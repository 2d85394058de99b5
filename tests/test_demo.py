"""The workflow demo: a full run, its checks, and its handling of bad input."""

import json
import re
import signal
import subprocess
import sys
import time

import pytest

from vesk_async_task import demo


def run_demo(*args, module="vesk_async_task.demo"):
    return subprocess.run([sys.executable, "-m", module, *args],
                          capture_output=True, text=True, timeout=120)


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


def test_failed_tasks_block_their_dependents(tmp_path):
    workflow = {"tasks": [
        {"id": "fetch"},
        {"id": "parse", "after": ["fetch"], "fail": True},
        {"id": "index", "after": ["parse"]},
        {"id": "report", "after": ["index", "fetch"]},
        {"id": "side", "priority": -1},
    ]}
    path = tmp_path / "workflow.json"
    path.write_text(json.dumps(workflow))
    run = run_demo("--workflow", str(path))
    assert run.returncode == 0, run.stderr
    assert "ran 3 of 5 tasks" in run.stdout
    assert "failed 1, not run because a prerequisite failed 2" in run.stdout
    assert "first failed: parse" in run.stdout
    assert "order the tasks ran in:\n" in run.stdout
    assert re.search(r"\d\. side +worker-\d  completed\n", run.stdout)
    assert re.search(r"\d\. fetch +worker-\d  completed\n(.*\n)*.*\d\. parse +worker-\d  failed\n", run.stdout)
    assert re.search(r"-  report +not run: a prerequisite failed\n", run.stdout)
    strict = run_demo("--workflow", str(path), "--strict")
    assert strict.returncode == 1 and "strict: 1 task failed and 2 never ran" in strict.stderr


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


def test_ctrl_c_stops_the_run_and_reports_the_part_that_ran():
    demo_run = subprocess.Popen([sys.executable, "-m", "vesk_async_task", "--tasks", "50000"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while "tasks done" not in demo_run.stderr.readline() and time.monotonic() < deadline:
            pass
        demo_run.send_signal(signal.SIGINT)
        out, err = demo_run.communicate(timeout=60)
    finally:
        demo_run.kill()
    assert demo_run.returncode == 130, err
    assert "interrupted: the workers were stopped" in out and "check passed for the tasks that ran" in out
    ran, archived = re.search(r"ran (\d+) of .*\n(?:.*\n)*?(\d+) finished tasks? archived", out).groups()
    assert ran == archived, out
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
