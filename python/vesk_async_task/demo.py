"""Run a workflow of tasks on worker threads, scheduled by their dependencies.

    python -m vesk_async_task [--tasks N] [--seed N] [--fail-rate P] [--workers N]
                              [--ttl S] [--max-records N] [--strict] [--work-ms N]
                              [--executor {threads,processes,dask}] [--dask-scheduler ADDRESS]
    python -m vesk_async_task --workflow FILE [--workers N] [--ttl S] ...

A scheduler declares every dependency on a PyTaskDependencyManager (refusing a
cyclic workflow), puts ready tasks on a PyPriorityTaskQueue, and workers take
them with a blocking get, record their progress on a PyShardedTaskStatus and
report completion. The scheduler then finds newly ready dependents through
get_dependents and is_ready. A monitoring loop expires and trims the status
records and archives finished ones through a PyBatchedUpdater. At the end the
run is checked: every task ran exactly once, and only after all of its
prerequisites had completed. Ctrl-C stops the workers and reports the part
that ran (exit status 130).

With --executor processes or dask, the task bodies run on a process pool or a
Dask cluster instead, while the four objects stay in this process: a dispatcher
thread takes tasks from the queue and keeps at most twice --workers of them in
flight, and the executor's callbacks record their outcomes.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import hashlib
import itertools
import json
import os
import queue
import random
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from types import FrameType
from typing import Any, Callable, Iterator, TextIO

from vesk_async_task import (
    PyBatchedUpdater,
    PyPriorityTaskQueue,
    PyShardedTaskStatus,
    PyTaskDependencyManager,
)
from vesk_async_task.executors import (
    DaskExecutor,
    Executor,
    ExecutorLost,
    ExtraMissing,
    Outcome,
    ProcessExecutor,
    TaskLost,
    timed_call,
)

EXIT_BAD_INPUT = 2
EXIT_CHECK_FAILED = 1
EXIT_INTERRUPTED = 130  # the shell's status for a process ended by SIGINT
ORDER_LISTED_UP_TO = 20  # workflows this small get the order their tasks ran in
FAILED_LISTED = 5
LARGE_WORKFLOW = 100_000  # tasks; building and declaring one takes seconds, so say so
BYTES_PER_TASK = 2048  # a synthetic task's share of a run's peak memory, with room to spare
UNKNOWN_MEMORY = 1 << 40  # bytes assumed where the system does not tell
EXECUTORS = ("threads", "processes", "dask")


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


def synthetic_workflow(
    count: int, seed: int, fail_rate: float = 0.0, on_progress: Callable[[int], None] | None = None
) -> Workflow:
    """count tasks with random priorities; each depends on up to three earlier ones,
    and a fraction fail_rate of them raise when they run. on_progress(tasks built so
    far) is called now and then, for large workflows."""
    rng = random.Random(seed)
    ids: list[str] = []
    tasks: dict[str, Task] = {}
    for i in range(count):
        if on_progress is not None and i % 10_000 == 0:
            on_progress(i)
        task_id = f"task-{i:06d}"
        window = ids[max(0, i - 500) : i]
        after = tuple(rng.sample(window, k=min(len(window), rng.choice((0, 1, 1, 2, 3)))))
        fails = rng.random() < fail_rate
        tasks[task_id] = Task(task_id, priority=rng.randint(0, 9), after=after, fails=fails)
        ids.append(task_id)
    return Workflow(tasks)


def most_synthetic_tasks() -> int:
    """The largest synthetic workflow whose run fits in this machine's memory."""
    try:
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        memory = 0
    return (memory if memory > 0 else UNKNOWN_MEMORY) // BYTES_PER_TASK


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
    lost: dict[str, str] = field(default_factory=dict)  # failed without an outcome: why
    worker_of: dict[str, str] = field(default_factory=dict)
    waits: list[float] = field(default_factory=list)
    archive: list[tuple[str, Any]] = field(default_factory=list)
    expired: int = 0
    trimmed: int = 0
    archived: int = 0


DEFAULT_ROUNDS = 200  # SHA-256 rounds of a task without --work-ms
ROUNDS_PER_CLOCK_READ = 20


def simulated_work(task: Task, work_ms: int | None = None) -> str:
    """CPU work standing in for a real task: DEFAULT_ROUNDS rounds of SHA-256, or
    with work_ms, rounds until this thread has spent that much CPU time (so that
    threads that share the interpreter lock each do the full amount)."""
    digest = task.task_id.encode()
    if work_ms is None:
        for _ in range(DEFAULT_ROUNDS):
            digest = hashlib.sha256(digest).digest()
    else:
        deadline = time.thread_time() + work_ms / 1e3
        while time.thread_time() < deadline:
            for _ in range(ROUNDS_PER_CLOCK_READ):
                digest = hashlib.sha256(digest).digest()
    if task.fails:
        raise RuntimeError(f"task {task.task_id} failed on purpose")
    return digest.hex()[:12]


STOP = ""  # the queue entry that ends a worker or the dispatcher; no task id is empty
STOP_PRIORITY = -(2**31)  # ahead of every task


class Run:
    """A workflow run. Without an executor, worker threads take tasks from the
    queue and run them; with one, a dispatcher thread takes them and keeps at
    most twice the executor's slots in flight, and completions come back
    through the executor's callbacks."""

    def __init__(self, workflow: Workflow, workers: int, ttl: int, max_records: int,
                 work_ms: int | None = None, executor: Executor | None = None) -> None:
        self.workflow = workflow
        self.worker_count = workers
        self.max_records = max_records
        self.ttl = ttl
        self.work_ms = work_ms
        self.executor = executor
        self.store = PyShardedTaskStatus(16, ttl)
        self.dependencies = PyTaskDependencyManager()
        self.queue = PyPriorityTaskQueue(0)
        self.archive = PyBatchedUpdater(1000)
        self.counters = Counters()
        self.enqueued_at: dict[str, float] = {}
        self.finished: queue.SimpleQueue[tuple[str, bool] | RunError] = queue.SimpleQueue()
        self.in_flight_slots = threading.Semaphore(2 * workers)
        self.closed = False  # set under counters.lock; a closed run records nothing more
        self.stop = threading.Event()
        self.monitor_stop = threading.Event()  # set once the workers are stopped
        self.workers: list[threading.Thread] = []
        self.elapsed = 0.0

    # -- scheduler --

    def declare(self) -> None:
        self.dependencies.add_dependencies_batch(self.workflow.dependency_pairs())
        cycle = self.dependencies.find_cycle()
        if cycle:
            raise WorkflowError(
                f"the workflow's dependencies form a cycle (each task runs after the next): {' -> '.join(cycle)}"
            )

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
                finished = self.finished.get(timeout=1.0)
            except queue.Empty:
                if not all(worker.is_alive() for worker in self.workers):
                    raise RunError("a worker thread stopped unexpectedly") from None
                continue
            if isinstance(finished, RunError):
                raise finished
            task_id, succeeded = finished
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

    def record_start(self, task_id: str, worker: str | None) -> None:
        counters = self.counters
        with counters.lock:
            counters.waits.append(time.monotonic() - self.enqueued_at[task_id])
            counters.runs[task_id] = counters.runs.get(task_id, 0) + 1
            counters.started_at[task_id] = next(counters.sequence)
            counters.worker_of[task_id] = worker or "-"
        self.store.update_status_fast(task_id, "running", None, time.time(), None, worker)

    def record_finish(self, task_id: str, outcome: Outcome, lost: str | None = None) -> None:
        status = "completed" if outcome.completed else "failed"
        counters = self.counters
        with counters.lock:  # the store too, so that a closed run's report sees no late write
            if self.closed:
                return
            self.store.update_status_fast(task_id, status, None, outcome.started, outcome.ended, outcome.worker)
            counters.finished_at[task_id] = next(counters.sequence)
            if outcome.worker is not None:
                counters.worker_of[task_id] = outcome.worker
            if not outcome.completed:
                counters.failed.add(task_id)
            if lost is not None:
                counters.lost[task_id] = lost
            counters.archive.append((task_id, {"status": status, "result": outcome.result}))
        self.finished.put((task_id, outcome.completed))

    def work(self, name: str) -> None:
        while (task_id := self.queue.get()) != STOP:
            self.record_start(task_id, name)
            outcome = timed_call(name, simulated_work, self.workflow.tasks[task_id], self.work_ms)
            self.record_finish(task_id, outcome)

    def dispatch(self, executor: Executor) -> None:
        try:
            while True:
                self.in_flight_slots.acquire()
                task_id = self.queue.get()
                if task_id == STOP:
                    return
                self.record_start(task_id, None)
                executor.submit(functools.partial(self.remote_finish, task_id),
                                simulated_work, self.workflow.tasks[task_id], self.work_ms)
        except ExecutorLost as error:
            self.finished.put(RunError(str(error)))
        except Exception as error:
            self.finished.put(RunError(f"could not hand a task to {executor.description}: {error!r}"))

    def remote_finish(self, task_id: str, outcome: Outcome | TaskLost | ExecutorLost) -> None:
        """An executor's callback, on one of its threads."""
        if isinstance(outcome, ExecutorLost):
            self.finished.put(RunError(str(outcome)))
            return
        if isinstance(outcome, TaskLost):
            now = time.time()
            self.record_finish(task_id, Outcome(False, None, now, now), lost=str(outcome))
        else:
            self.record_finish(task_id, outcome)
        self.in_flight_slots.release()

    def close(self, lose_unfinished: str | None) -> None:
        """Ends all recording; with lose_unfinished, the tasks that started and
        did not finish are recorded as failed, for that reason."""
        counters = self.counters
        with counters.lock:
            self.closed = True
            if lose_unfinished is None:
                return
            now = time.time()
            for task_id in counters.started_at.keys() - counters.finished_at.keys():
                self.store.update_status_fast(task_id, "failed", None, None, now, None)
                counters.finished_at[task_id] = next(counters.sequence)
                counters.failed.add(task_id)
                counters.lost[task_id] = lose_unfinished

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
        while not self.monitor_stop.wait(0.2):
            self.monitor_once()
            progress.show(len(self.counters.finished_at))
        self.monitor_once()

    def execute(self, progress: Progress) -> None:
        """Runs the workflow; however it ends (an interrupt included), the
        threads and the executor are stopped and the elapsed time is kept."""
        if self.executor is None:
            self.workers = [threading.Thread(target=self.work, args=(f"worker-{n}",), daemon=True)
                            for n in range(self.worker_count)]
        else:
            self.workers = [threading.Thread(target=self.dispatch, args=(self.executor,), daemon=True)]
        monitor = threading.Thread(target=self.monitor, args=(progress,), daemon=True)
        began = time.monotonic()
        ending: BaseException | None = None
        try:
            if self.executor is not None:
                self.start_executor(self.executor)
                began = time.monotonic()
            for thread in [*self.workers, monitor]:
                thread.start()
            self.schedule()
        except BaseException as error:
            ending = error
            raise
        finally:
            self.stop_workers()
            # Closed before the monitor's last pass, so that pass archives every
            # task recorded as finished (an executor's callback may still come).
            self.close(f"the run stopped: {ending}" if isinstance(ending, RunError) else None)
            self.monitor_stop.set()
            join_if_started(monitor)
            if self.executor is not None:
                self.executor.shutdown(abandon=ending is not None)
            self.elapsed = time.monotonic() - began

    def start_executor(self, executor: Executor) -> None:
        print(f"starting {executor.description}", file=sys.stderr)
        try:
            executor.start()
        except ExecutorLost as error:
            raise RunError(str(error)) from None

    def stop_workers(self) -> None:
        self.stop.set()
        for _ in self.workers:
            self.queue.put(STOP_PRIORITY, STOP, float("-inf"))
        self.in_flight_slots.release()  # a dispatcher waiting for a slot goes on to take STOP
        for worker in self.workers:
            join_if_started(worker)


def join_if_started(thread: threading.Thread) -> None:
    if thread.ident is not None:  # an interrupt may come before all started
        thread.join(10)


class Progress:
    """One refreshed line on a terminal, plain lines at most once a second otherwise."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.live = stream.isatty()
        self.began = time.monotonic()
        self.last_plain = -1.0
        self.shown = False

    def show(self, done: int) -> None:
        elapsed = time.monotonic() - self.began
        self.say(f"{done}/{self.total} tasks done, {done / elapsed if elapsed else 0.0:,.0f} tasks/s")

    def building(self, built: int) -> None:
        self.say(f"building the workflow: {built:,} of {self.total:,} tasks")

    def say(self, line: str) -> None:
        elapsed = time.monotonic() - self.began
        if self.live:
            self.stream.write(f"\r{line}\x1b[K")
            self.stream.flush()
            self.shown = True
        elif elapsed - self.last_plain >= 1.0:
            self.last_plain = elapsed
            self.stream.write(line + "\n")

    def end(self) -> None:
        """Ends a live line, so that what follows starts on a line of its own."""
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = False


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


def check_run(workflow: Workflow, counters: Counters, complete: bool = True) -> list[str]:
    """Problems of a run: a task that ran twice, or before a prerequisite finished,
    or although a prerequisite failed; for a complete run also a task that never ran."""
    problems: list[str] = []
    blocked = blocked_by_failure(workflow, counters.failed)
    for task in workflow.tasks.values():
        runs = counters.runs.get(task.task_id, 0)
        if task.task_id in blocked:
            if runs:
                problems.append(f"{task.task_id} ran although a prerequisite failed")
            continue
        if runs == 0 and not complete:
            continue
        if runs != 1:
            problems.append(f"{task.task_id} ran {runs} times")
            continue
        start = counters.started_at[task.task_id]
        for dep in task.after:
            if counters.finished_at.get(dep, start + 1) > start:
                problems.append(f"{task.task_id} started before its prerequisite {dep} finished")
    return problems


def count_of(number: int, noun: str) -> str:
    """'1 task', '2 tasks'."""
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def percentile(values: list[float], fraction: float) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


@dataclass(frozen=True)
class RecordCounts:
    """Where the status records went. Every record ends in exactly one of expired,
    trimmed or left; every task put on the queue made at least one. A task makes
    another when trimming removed its record before it finished and a later update
    (running, completed, failed) wrote the record anew."""

    tasks: int
    expired: int
    trimmed: int
    left: int

    @property
    def made(self) -> int:
        return self.expired + self.trimmed + self.left

    @property
    def written_again(self) -> int:
        return self.made - self.tasks


def record_counts(run: Run) -> RecordCounts:
    return RecordCounts(
        tasks=len(run.enqueued_at),
        expired=run.counters.expired,
        trimmed=run.counters.trimmed,
        left=run.store.get_total_count(),
    )


def report(run: Run, problems: list[str], out: TextIO, ended_early: str | None = None) -> None:
    """The summary; ended_early says why a run that did not finish stopped."""
    counters = run.counters
    ran = sum(counters.runs.values())
    elapsed = run.elapsed
    blocked = blocked_by_failure(run.workflow, counters.failed)
    records = record_counts(run)
    unfinished = sum(1 for task_id in counters.started_at if task_id not in counters.finished_at)
    if ended_early is not None:
        out.write(f"{ended_early}; this is the part that ran\n")
    out.write(
        f"ran {ran} of {count_of(len(run.workflow.tasks), 'task')} on {count_of(run.worker_count, 'worker')} "
        f"in {elapsed:.2f} s: {ran / elapsed if elapsed else 0.0:,.0f} tasks/s\n"
    )
    if unfinished:
        out.write(f"  {unfinished} of them still running when the workers were stopped\n")
    out.write(
        f"queue wait p50 {percentile(counters.waits, 0.5) * 1e3:.2f} ms, "
        f"p99 {percentile(counters.waits, 0.99) * 1e3:.2f} ms\n"
    )
    out.write(f"failed {len(counters.failed)}, not run because a prerequisite failed {len(blocked)}\n")
    if counters.failed:
        first = sorted(counters.failed, key=lambda t: counters.finished_at[t])[:FAILED_LISTED]
        out.write(f"  first failed: {', '.join(first)}\n")
    if counters.lost:
        task_id, reason = min(counters.lost.items(), key=lambda item: counters.finished_at[item[0]])
        out.write(f"  {len(counters.lost)} of them lost without an outcome, first {task_id}: {reason}\n")
    out.write(
        f"status records: {records.made} made = {records.expired} expired ({run.ttl} s after "
        f"their task ended) + {records.trimmed} trimmed (the oldest beyond {run.max_records}) "
        f"+ {records.left} left;\n"
        f"  one for each of the {records.tasks} queued tasks, and {records.written_again} written "
        f"again after trimming removed the record of a task not yet finished\n"
        f"{count_of(counters.archived, 'finished task')} archived in batches\n"
    )
    if len(run.workflow.tasks) <= ORDER_LISTED_UP_TO:
        write_run_order(run, blocked, out)
    if problems:
        out.write(f"CHECK FAILED: {count_of(len(problems), 'problem')}, first: {problems[0]}\n")
    elif ended_early is not None:
        out.write("check passed for the tasks that ran: each ran once, after all of its prerequisites\n")
    elif blocked:
        out.write(
            "check passed: every task whose prerequisites all completed ran once, after them; "
            "the others never ran\n"
        )
    else:
        out.write("check passed: every task ran once, after all of its prerequisites\n")


def write_run_order(run: Run, blocked: set[str], out: TextIO) -> None:
    """The tasks in the order they started, with their worker and outcome."""
    counters = run.counters
    started = sorted(counters.started_at, key=lambda t: counters.started_at[t])
    width = max(len(t) for t in run.workflow.tasks)
    out.write("order the tasks ran in:\n")
    for number, task_id in enumerate(started, 1):
        if task_id in counters.failed:
            outcome = "failed"
        elif task_id in counters.finished_at:
            outcome = "completed"
        else:
            outcome = "stopped"
        out.write(f"  {number:2}. {task_id:<{width}}  {counters.worker_of[task_id]}  {outcome}\n")
    for task_id in run.workflow.tasks:
        if task_id not in counters.started_at:
            reason = "a prerequisite failed" if task_id in blocked else "the run stopped first"
            out.write(f"   -  {task_id:<{width}}  not run: {reason}\n")


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


SYNTHETIC_DEFAULTS = {"tasks": 20_000, "seed": 1, "fail_rate": 0.0}


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m vesk_async_task",
        description="Run a workflow of dependent tasks on worker threads, a process pool or a Dask cluster.",
    )
    parser.add_argument("--tasks", type=whole_number(1),
                        help="size of the built-in synthetic workflow (default 20000)")
    parser.add_argument("--workers", type=whole_number(1), default=4,
                        help="tasks run at once: worker threads, pool processes or Dask slots (default 4)")
    parser.add_argument("--seed", type=int, help="seed of the synthetic workflow (default 1)")
    parser.add_argument("--workflow", metavar="FILE", help="run the workflow in this JSON file")
    parser.add_argument("--fail-rate", type=fraction,
                        help="share of synthetic tasks that raise (default 0)")
    parser.add_argument("--ttl", type=whole_number(0), default=1,
                        help="seconds a finished task's status record is kept, a whole number "
                             "as the store's TTL is (default 1)")
    parser.add_argument("--max-records", type=whole_number(0), default=10_000,
                        help="most status records kept at once (default 10000)")
    parser.add_argument("--strict", action="store_true",
                        help="exit with status 1 if any task failed or never ran")
    parser.add_argument("--executor", choices=EXECUTORS,
                        help="where task bodies run: worker threads of this process (the default), "
                             "a process pool, or a Dask cluster (needs the extra 'dask')")
    parser.add_argument("--dask-scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler, such as tcp://host:8786 "
                             "(implies --executor dask; without it, dask starts a local cluster)")
    parser.add_argument("--work-ms", type=whole_number(0),
                        help=f"CPU milliseconds each task spends (default: {DEFAULT_ROUNDS} rounds of "
                             "SHA-256, a fraction of a millisecond)")
    args = parser.parse_args(argv)
    if args.executor is None:
        args.executor = "threads" if args.dask_scheduler is None else "dask"
    elif args.dask_scheduler is not None and args.executor != "dask":
        parser.error(f"--dask-scheduler needs --executor dask, not {args.executor}")
    synthetic_only = [name for name in SYNTHETIC_DEFAULTS if getattr(args, name) is not None]
    if args.workflow is not None and synthetic_only:
        option = "--" + synthetic_only[0].replace("_", "-")
        parser.error(f"{option} describes the synthetic workflow and cannot be used with --workflow")
    for name, default in SYNTHETIC_DEFAULTS.items():
        if getattr(args, name) is None:
            setattr(args, name, default)
    most = most_synthetic_tasks()
    if args.workflow is None and args.tasks > most:
        parser.error(f"--tasks {args.tasks} cannot fit in this machine's memory (at most about {most:,})")
    return args


@contextlib.contextmanager
def first_interrupt_only() -> Iterator[None]:
    """The first Ctrl-C raises KeyboardInterrupt; later ones are ignored, so that
    stopping the workers and reporting are not cut short."""

    def interrupt(signum: int, frame: FrameType | None) -> None:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        raise KeyboardInterrupt

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def build_workflow(args: argparse.Namespace) -> Workflow:
    if args.workflow is not None:
        return load_workflow(args.workflow)
    progress = Progress(args.tasks, sys.stderr)
    workflow = synthetic_workflow(args.tasks, args.seed, args.fail_rate,
                                  progress.building if args.tasks >= LARGE_WORKFLOW else None)
    progress.end()
    return workflow


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    with first_interrupt_only():
        return run_demo(args)


def make_executor(args: argparse.Namespace) -> Executor | None:
    """None for the worker threads; raises ExtraMissing for dask without distributed."""
    if args.executor == "processes":
        return ProcessExecutor(args.workers)
    if args.executor == "dask":
        return DaskExecutor(args.workers, args.dask_scheduler)
    return None


def run_demo(args: argparse.Namespace) -> int:
    run: Run | None = None
    progress: Progress | None = None
    try:
        executor = make_executor(args)
        workflow = build_workflow(args)
        if not workflow.tasks:
            print("the workflow has no tasks: nothing to run")
            return 0
        run = Run(workflow, args.workers, args.ttl, args.max_records, args.work_ms, executor)
        if len(workflow.tasks) >= LARGE_WORKFLOW:
            declared = sum(len(task.after) for task in workflow.tasks.values())
            print(f"declaring {declared:,} dependencies", file=sys.stderr)
        run.declare()
        progress = Progress(len(workflow.tasks), sys.stderr)
        run.execute(progress)
    except (WorkflowError, ExtraMissing) as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except RunError as error:
        if progress is not None:
            progress.end()
        if run is not None and run.counters.started_at:
            report(run, check_run(run.workflow, run.counters, complete=False), sys.stdout,
                   ended_early=f"stopped: {error}")
            sys.stdout.flush()
        print(f"error: {error}", file=sys.stderr)
        return EXIT_CHECK_FAILED
    except KeyboardInterrupt:
        if sys.stderr.isatty():
            sys.stderr.write("\n")  # off the progress line and the terminal's ^C
        if progress is None or run is None:
            print("interrupted before the run started", file=sys.stderr)
        else:
            sys.stdout.flush()
            report(run, check_run(run.workflow, run.counters, complete=False), sys.stdout,
                   ended_early="interrupted: the workers were stopped")
        return EXIT_INTERRUPTED
    progress.end()
    problems = check_run(workflow, run.counters)
    report(run, problems, sys.stdout)
    if problems:
        return EXIT_CHECK_FAILED
    if args.strict and run.counters.failed:
        unrun = len(blocked_by_failure(workflow, run.counters.failed))
        print(f"strict: {count_of(len(run.counters.failed), 'task')} failed and {unrun} never ran", file=sys.stderr)
        return EXIT_CHECK_FAILED
    return 0


if __name__ == "__main__":
    # The package's copy of this module, so that worker processes find the task
    # bodies it sends them by their module's name.
    from vesk_async_task.demo import main as package_main

    sys.exit(package_main())
