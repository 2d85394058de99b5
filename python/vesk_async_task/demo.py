"""Run a workflow of tasks on worker threads, scheduled by their dependencies.

    python -m vesk_async_task.demo [--tasks N] [--workers N] [--seed N]
                                   [--workflow FILE] [--ttl S] [--max-records N]

A scheduler declares every dependency on a PyTaskDependencyManager (refusing a
cyclic workflow), puts ready tasks on a PyPriorityTaskQueue, and workers take
them with a blocking get, record their progress on a PyShardedTaskStatus and
report completion. The scheduler then finds newly ready dependents through
get_dependents and is_ready. A monitoring loop expires and trims the status
records and archives finished ones through a PyBatchedUpdater. At the end the
run is checked: every task ran exactly once, and only after all of its
prerequisites had completed.
"""

from __future__ import annotations

import argparse
import hashlib
import itertools
import json
import queue
import random
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, TextIO

from vesk_async_task import (
    PyBatchedUpdater,
    PyPriorityTaskQueue,
    PyShardedTaskStatus,
    PyTaskDependencyManager,
)

EXIT_BAD_INPUT = 2
EXIT_CHECK_FAILED = 1


class WorkflowError(Exception):
    """A workflow that cannot be run; the message names the problem."""


class RunError(Exception):
    """A run that could not finish."""


@dataclass(frozen=True)
class Task:
    task_id: str
    priority: int = 0
    after: tuple[str, ...] = ()
    fails: bool = False


@dataclass
class Workflow:
    tasks: dict[str, Task]

    def dependency_pairs(self) -> list[tuple[str, str]]:
        return [(t.task_id, dep) for t in self.tasks.values() for dep in t.after]


# ---- workflows --------------------------------------------------------------


def synthetic_workflow(count: int, seed: int, fail_rate: float = 0.0) -> Workflow:
    """count tasks with random priorities; each depends on up to three earlier ones,
    and a fraction fail_rate of them raise when they run."""
    rng = random.Random(seed)
    ids = [f"task-{i:06d}" for i in range(count)]
    tasks: dict[str, Task] = {}
    for i, task_id in enumerate(ids):
        window = ids[max(0, i - 500) : i]
        after = tuple(rng.sample(window, k=min(len(window), rng.choice((0, 1, 1, 2, 3)))))
        fails = rng.random() < fail_rate
        tasks[task_id] = Task(task_id, priority=rng.randint(0, 9), after=after, fails=fails)
    return Workflow(tasks)


def _task_from_json(index: int, raw: object) -> Task:
    where = f"task #{index}"
    if not isinstance(raw, dict):
        raise WorkflowError(f"{where}: expected an object with an 'id', got {type(raw).__name__}")
    task_id = raw.get("id")
    if not isinstance(task_id, str) or not task_id:
        raise WorkflowError(f"{where}: 'id' must be a non-empty string")
    where = f"task {task_id!r}"
    priority = raw.get("priority", 0)
    if not isinstance(priority, int) or isinstance(priority, bool):
        raise WorkflowError(f"{where}: 'priority' must be an integer")
    if not -(2**31) <= priority < 2**31:
        raise WorkflowError(f"{where}: 'priority' must fit in 32 bits")
    after = raw.get("after", [])
    if not isinstance(after, list) or not all(isinstance(a, str) for a in after):
        raise WorkflowError(f"{where}: 'after' must be a list of task ids")
    fails = raw.get("fail", False)
    if not isinstance(fails, bool):
        raise WorkflowError(f"{where}: 'fail' must be true or false")
    unknown = set(raw) - {"id", "priority", "after", "fail"}
    if unknown:
        raise WorkflowError(f"{where}: unknown field {sorted(unknown)[0]!r}")
    return Task(task_id, priority, tuple(dict.fromkeys(after)), fails)


def load_workflow(path: str) -> Workflow:
    try:
        with open(path, encoding="utf-8") as handle:
            document = json.load(handle)
    except OSError as error:
        raise WorkflowError(f"cannot read {path}: {error.strerror or error}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise WorkflowError(f"{path} is not valid JSON: {error}") from None
    if not isinstance(document, dict) or not isinstance(document.get("tasks"), list):
        raise WorkflowError(f"{path}: expected an object with a 'tasks' list")
    tasks: dict[str, Task] = {}
    for index, raw in enumerate(document["tasks"]):
        task = _task_from_json(index, raw)
        if task.task_id in tasks:
            raise WorkflowError(f"task {task.task_id!r} is declared twice")
        tasks[task.task_id] = task
    for task in tasks.values():
        for dep in task.after:
            if dep not in tasks:
                raise WorkflowError(f"task {task.task_id!r} runs after unknown task {dep!r}")
    return Workflow(tasks)


def find_cycle(workflow: Workflow) -> list[str]:
    """One dependency cycle, as a path that returns to its start (for the error message)."""
    state: dict[str, int] = {}  # 1: on the current path, 2: finished
    for root in workflow.tasks:
        if root in state:
            continue
        path: list[str] = [root]
        state[root] = 1
        stack = [iter(workflow.tasks[root].after)]
        while stack:
            dep = next(stack[-1], None)
            if dep is None:
                state[path.pop()] = 2
                stack.pop()
            elif state.get(dep) == 1:
                return path[path.index(dep) :] + [dep]
            elif dep not in state:
                state[dep] = 1
                path.append(dep)
                stack.append(iter(workflow.tasks[dep].after))
    return []


# ---- running ----------------------------------------------------------------


@dataclass
class Counters:
    """What workers and the scheduler record, for progress and the final checks."""

    lock: threading.Lock = field(default_factory=threading.Lock)
    sequence: itertools.count[int] = field(default_factory=itertools.count)
    runs: dict[str, int] = field(default_factory=dict)
    started_at: dict[str, int] = field(default_factory=dict)
    finished_at: dict[str, int] = field(default_factory=dict)
    failed: set[str] = field(default_factory=set)
    waits: list[float] = field(default_factory=list)
    archive: list[tuple[str, Any]] = field(default_factory=list)
    expired: int = 0
    trimmed: int = 0
    archived: int = 0


def simulated_work(task: Task) -> str:
    """A little CPU work standing in for a real task."""
    digest = task.task_id.encode()
    for _ in range(200):
        digest = hashlib.sha256(digest).digest()
    if task.fails:
        raise RuntimeError(f"task {task.task_id} failed on purpose")
    return digest.hex()[:12]


class Run:
    def __init__(self, workflow: Workflow, workers: int, ttl: int, max_records: int) -> None:
        self.workflow = workflow
        self.worker_count = workers
        self.max_records = max_records
        self.store = PyShardedTaskStatus(16, ttl)
        self.dependencies = PyTaskDependencyManager()
        self.queue = PyPriorityTaskQueue(0)
        self.archive = PyBatchedUpdater(1000)
        self.counters = Counters()
        self.enqueued_at: dict[str, float] = {}
        self.finished: queue.SimpleQueue[tuple[str, bool]] = queue.SimpleQueue()
        self.stop = threading.Event()
        self.workers: list[threading.Thread] = []

    # -- scheduler --

    def declare(self) -> None:
        self.dependencies.add_dependencies_batch(self.workflow.dependency_pairs())
        if self.dependencies.has_circular_dependency():
            cycle = find_cycle(self.workflow)
            shown = " -> ".join(cycle) if cycle else "unknown tasks"
            raise WorkflowError(f"the workflow's dependencies form a cycle (each task runs after the next): {shown}")

    def enqueue(self, task_ids: list[str]) -> None:
        now = time.time()
        for task_id in task_ids:
            self.enqueued_at[task_id] = time.monotonic()
            self.store.update_status_fast(task_id, "queued", now)
        self.queue.put_batch([(self.workflow.tasks[t].priority, t, now) for t in task_ids])

    def schedule(self) -> None:
        """Feeds ready tasks to the queue until nothing is left in flight."""
        all_ids = list(self.workflow.tasks)
        ready = self.dependencies.get_ready_tasks(all_ids)
        self.enqueue([t for t, is_ready in zip(all_ids, ready) if is_ready])
        in_flight = sum(ready)
        queued = {t for t, is_ready in zip(all_ids, ready) if is_ready}
        while in_flight:
            try:
                task_id, succeeded = self.finished.get(timeout=1.0)
            except queue.Empty:
                if not all(worker.is_alive() for worker in self.workers):
                    raise RunError("a worker thread stopped unexpectedly") from None
                continue
            in_flight -= 1
            if not succeeded:
                continue  # its dependents never become ready
            self.dependencies.mark_completed(task_id)
            newly_ready = [
                dep
                for dep in self.dependencies.get_dependents(task_id)
                if dep not in queued and self.dependencies.is_ready(dep)
            ]
            queued.update(newly_ready)
            in_flight += len(newly_ready)
            self.enqueue(newly_ready)

    # -- workers --

    def work(self, name: str) -> None:
        counters = self.counters
        while not self.stop.is_set():
            try:
                task_id = self.queue.get(timeout=0.05)
            except Exception:
                continue  # "Queue is empty" after the timeout: check for the end
            task = self.workflow.tasks[task_id]
            start = time.time()
            with counters.lock:
                counters.waits.append(time.monotonic() - self.enqueued_at[task_id])
                counters.runs[task_id] = counters.runs.get(task_id, 0) + 1
                counters.started_at[task_id] = next(counters.sequence)
            self.store.update_status_fast(task_id, "running", None, start, None, name)
            try:
                result: str | None = simulated_work(task)
                status = "completed"
            except Exception:
                result, status = None, "failed"
            self.store.update_status_fast(task_id, status, None, start, time.time(), name)
            with counters.lock:
                counters.finished_at[task_id] = next(counters.sequence)
                if status == "failed":
                    counters.failed.add(task_id)
                counters.archive.append((task_id, {"status": status, "result": result}))
            self.finished.put((task_id, status == "completed"))

    # -- monitoring --

    def monitor_once(self) -> None:
        counters = self.counters
        expired = self.store.cleanup_expired()
        trimmed = self.store.enforce_max_count(self.max_records)
        with counters.lock:
            batch, counters.archive = counters.archive, []
            counters.expired += expired
            counters.trimmed += trimmed
        counters.archived += self.archive.update_batch(batch)

    def monitor(self, progress: Progress) -> None:
        while not self.stop.wait(0.2):
            self.monitor_once()
            progress.show(len(self.counters.finished_at))
        self.monitor_once()

    def execute(self, progress: Progress) -> float:
        self.workers = workers = [
            threading.Thread(target=self.work, args=(f"worker-{n}",), daemon=True)
            for n in range(self.worker_count)
        ]
        monitor = threading.Thread(target=self.monitor, args=(progress,), daemon=True)
        began = time.monotonic()
        for thread in [*workers, monitor]:
            thread.start()
        try:
            self.schedule()
        finally:
            self.stop.set()
            for thread in [*workers, monitor]:
                thread.join(10)
        return time.monotonic() - began


class Progress:
    """One refreshed line on a terminal, plain periodic lines otherwise."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.live = stream.isatty()
        self.began = time.monotonic()
        self.last_plain = 0.0

    def show(self, done: int) -> None:
        elapsed = time.monotonic() - self.began
        line = f"{done}/{self.total} tasks done, {done / elapsed if elapsed else 0.0:,.0f} tasks/s"
        if self.live:
            self.stream.write(f"\r{line}\x1b[K")
            self.stream.flush()
        elif elapsed - self.last_plain >= 1.0:
            self.last_plain = elapsed
            self.stream.write(line + "\n")

    def end(self) -> None:
        if self.live:
            self.stream.write("\n")


# ---- checks and report ----------------------------------------------------


def blocked_by_failure(workflow: Workflow, failed: set[str]) -> set[str]:
    """Tasks that must not run because a prerequisite failed or did not run."""
    dependents: dict[str, list[str]] = {}
    for task in workflow.tasks.values():
        for dep in task.after:
            dependents.setdefault(dep, []).append(task.task_id)
    blocked: set[str] = set()
    pending = list(failed)
    while pending:
        for dependent in dependents.get(pending.pop(), []):
            if dependent not in blocked:
                blocked.add(dependent)
                pending.append(dependent)
    return blocked


def check_run(workflow: Workflow, counters: Counters) -> list[str]:
    problems: list[str] = []
    blocked = blocked_by_failure(workflow, counters.failed)
    for task in workflow.tasks.values():
        runs = counters.runs.get(task.task_id, 0)
        if task.task_id in blocked:
            if runs:
                problems.append(f"{task.task_id} ran although a prerequisite failed")
            continue
        if runs != 1:
            problems.append(f"{task.task_id} ran {runs} times")
            continue
        start = counters.started_at[task.task_id]
        for dep in task.after:
            if counters.finished_at.get(dep, start + 1) > start:
                problems.append(f"{task.task_id} started before its prerequisite {dep} finished")
    return problems


def percentile(values: list[float], fraction: float) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def report(run: Run, elapsed: float, problems: list[str], out: TextIO) -> None:
    counters = run.counters
    ran = sum(counters.runs.values())
    blocked = blocked_by_failure(run.workflow, counters.failed)
    out.write(
        f"ran {ran} of {len(run.workflow.tasks)} tasks on {run.worker_count} workers "
        f"in {elapsed:.2f} s: {ran / elapsed if elapsed else 0.0:,.0f} tasks/s\n"
        f"queue wait p50 {percentile(counters.waits, 0.5) * 1e3:.2f} ms, "
        f"p99 {percentile(counters.waits, 0.99) * 1e3:.2f} ms\n"
        f"failed {len(counters.failed)}, not run because a prerequisite failed {len(blocked)}\n"
        f"status records: {counters.expired} expired, {counters.trimmed} trimmed, "
        f"{run.store.get_total_count()} left; {counters.archived} archived in batches\n"
    )
    if problems:
        out.write(f"CHECK FAILED: {len(problems)} problems, first: {problems[0]}\n")
    else:
        out.write("check passed: every task ran once, after all of its prerequisites\n")


# ---- command line ---------------------------------------------------------


def whole_number(minimum: int) -> Callable[[str], int]:
    """An argparse type: an integer of at least `minimum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"expected a number of at least {minimum}, got {value}")
        return value

    return parse


def fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text}")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vesk_async_task.demo",
        description="Run a workflow of dependent tasks on worker threads.",
    )
    parser.add_argument("--tasks", type=whole_number(1), default=20_000,
                        help="size of the built-in synthetic workflow (default 20000)")
    parser.add_argument("--workers", type=whole_number(1), default=4, help="worker threads (default 4)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the synthetic workflow")
    parser.add_argument("--workflow", metavar="FILE", help="run the workflow in this JSON file")
    parser.add_argument("--fail-rate", type=fraction, default=0.0,
                        help="share of synthetic tasks that raise (default 0)")
    parser.add_argument("--ttl", type=whole_number(0), default=1,
                        help="seconds a finished task's status record is kept (default 1)")
    parser.add_argument("--max-records", type=whole_number(0), default=10_000,
                        help="most status records kept at once (default 10000)")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    try:
        if args.workflow is not None:
            workflow = load_workflow(args.workflow)
        else:
            workflow = synthetic_workflow(args.tasks, args.seed, args.fail_rate)
        run = Run(workflow, args.workers, args.ttl, args.max_records)
        run.declare()
    except WorkflowError as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    progress = Progress(len(workflow.tasks), sys.stderr)
    try:
        elapsed = run.execute(progress)
    except RunError as error:
        progress.end()
        print(f"error: {error}", file=sys.stderr)
        return EXIT_CHECK_FAILED
    progress.end()
    problems = check_run(workflow, run.counters)
    report(run, elapsed, problems, sys.stdout)
    return EXIT_CHECK_FAILED if problems else 0


if __name__ == "__main__":
    sys.exit(main())
