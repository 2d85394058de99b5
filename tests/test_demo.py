"""The workflow demo: a full run, its checks, and its handling of bad input."""

import json
import subprocess
import sys

import pytest

from vesk_async_task import demo


def run_demo(*args):
    return subprocess.run([sys.executable, "-m", "vesk_async_task.demo", *args],
                          capture_output=True, text=True, timeout=120)


def test_synthetic_run_passes_its_checks():
    run = run_demo("--tasks", "3000", "--workers", "3", "--ttl", "0", "--max-records", "500")
    assert run.returncode == 0, run.stderr
    assert "ran 3000 of 3000 tasks" in run.stdout
    assert "check passed" in run.stdout


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


def test_missing_file_and_bad_options_exit_2(tmp_path):
    run = run_demo("--workflow", str(tmp_path / "absent.json"))
    assert run.returncode == 2 and "cannot read" in run.stderr and "Traceback" not in run.stderr
    run = run_demo("--workers", "0")
    assert run.returncode == 2 and "Traceback" not in run.stderr


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
