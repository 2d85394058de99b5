"""The demo's executors against each other: tasks per second, and the CPU time
the scheduler's own process spends per task.

Runs the demo's synthetic workflow in this process (as `python -m
vesk_async_task --executor ...` does) with worker threads, a process pool and a
local Dask cluster, interleaved (threads, processes, dask, threads, ...), and
prints the median of the repeats. "CPU here" is this process's CPU time: for
threads it includes the task bodies, for processes and dask it is the
scheduler's cost alone (for dask, the Dask scheduler's too, which runs in this
process). The pool and the Dask cluster are started before each run and shut
down after it, outside the timings, as the demo does around its clock (an idle
cluster left running would add its own CPU to the other rows).

    python bench/bench_executors.py            # a quarter of an hour on a busy 2-core machine
    python bench/bench_executors.py --quick    # small sizes, a minute or two
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import multiprocessing
import os
import statistics
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from vesk_async_task import demo
from vesk_async_task.executors import DaskExecutor, ProcessExecutor

SPEED_UP_TARGET = 1.6  # processes against threads with --work-ms 20, on 2 cores


class AlreadyStarted:
    """An executor started once for all the runs: start and shutdown do nothing."""

    def __init__(self, executor: Any) -> None:
        self.executor = executor
        self.description = executor.description

    def start(self) -> None:
        pass

    def submit(self, *args: Any) -> None:
        self.executor.submit(*args)

    def shutdown(self, abandon: bool) -> None:
        pass


def spin(seconds: float) -> None:
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


def cores_to_spare(processes: int = 2, seconds: float = 0.5) -> float:
    """CPU seconds per wall second that `processes` spinning processes get now."""
    with ProcessPoolExecutor(processes, mp_context=multiprocessing.get_context("spawn")) as pool:
        list(pool.map(spin, [0.0] * processes))  # started before the clock
        began = time.perf_counter()
        list(pool.map(spin, [seconds] * processes))
        return processes * seconds / (time.perf_counter() - began)


def new_executor(name: str, workers: int) -> Any:
    if name == "processes":
        return ProcessExecutor(workers)
    if name == "dask":
        return DaskExecutor(workers, None)
    return None


def measure(workflow: demo.Workflow, workers: int, work_ms: int | None, name: str) -> tuple[float, float]:
    """Wall seconds and this process's CPU seconds of one checked run."""
    executor = new_executor(name, workers)
    run = demo.Run(workflow, workers, ttl=1, max_records=10_000, work_ms=work_ms,
                   executor=None if executor is None else AlreadyStarted(executor))
    run.declare()
    with open(os.devnull, "w") as devnull, contextlib.redirect_stderr(devnull):
        progress = demo.Progress(len(workflow.tasks), devnull)
        if executor is not None:
            executor.start()
        try:
            cpu = time.process_time()
            run.execute(progress)
            cpu = time.process_time() - cpu
        finally:
            if executor is not None:
                executor.shutdown(abandon=False)
    problems = demo.check_run(workflow, run.counters)
    if problems or len(run.counters.finished_at) != len(workflow.tasks):
        raise SystemExit(f"the run failed its check: {problems[:1]}")
    return run.elapsed, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes for a short run")
    parser.add_argument("--repeats", type=int, default=None, help="runs of each row (default 3, 1 with --quick)")
    parser.add_argument("--workers", type=int, default=4, help="slots of every executor (default 4)")
    parser.add_argument("--no-dask", action="store_true", help="leave out the Dask rows")
    args = parser.parse_args()
    repeats = args.repeats or (1 if args.quick else 3)
    # (label, tasks, tasks on dask, work_ms): dask runs fewer tasks, as the
    # default workflow would take minutes at its cost per task.
    if args.quick:
        workloads = [("default work", 2_000, 200, None), ("--work-ms 20", 100, 100, 20)]
    else:
        workloads = [("default work", 20_000, 2_000, None), ("--work-ms 20", 400, 200, 20)]
    with_dask = not args.no_dask and importlib.util.find_spec("distributed") is not None

    load_before, cores_before = os.getloadavg()[0], cores_to_spare()
    executors = ["threads", "processes", *(["dask"] if with_dask else [])]
    rows: dict[tuple[str, str], list[tuple[float, float]]] = {}
    sizes: dict[tuple[str, str], int] = {}
    for _ in range(repeats):
        for label, tasks, dask_tasks, work_ms in workloads:
            for name in executors:
                size = dask_tasks if name == "dask" else tasks
                workflow = demo.synthetic_workflow(size, seed=1)
                rows.setdefault((name, label), []).append(measure(workflow, args.workers, work_ms, name))
                sizes[(name, label)] = size

    # Other programs' load decides how much CPU the pool's processes can get.
    print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} CPUs, {args.workers} slots per executor, "
          f"median of {repeats} interleaved runs; load average {load_before:.1f} before, "
          f"{os.getloadavg()[0]:.1f} after; two spinning processes got {cores_before:.2f} cores "
          f"before, {cores_to_spare():.2f} after")
    print(f"{'executor':10} {'workload':14} {'tasks':>6} {'wall s':>8} {'tasks/s':>9} {'CPU here/task':>14}")
    median: dict[tuple[str, str], tuple[float, float]] = {}
    for key, runs in rows.items():
        wall = statistics.median(r[0] for r in runs)
        cpu_per_task = statistics.median(r[1] for r in runs) / sizes[key]
        median[key] = wall, cpu_per_task
        print(f"{key[0]:10} {key[1]:14} {sizes[key]:6} {wall:8.2f} {sizes[key] / wall:9,.0f} "
              f"{cpu_per_task * 1e6:11,.0f} us")

    label = workloads[1][0]
    walls = [t / p for (t, _), (p, _) in zip(rows[("threads", label)], rows[("processes", label)])]
    speed_up = median[("threads", label)][0] / median[("processes", label)][0]
    verdict = "ok" if speed_up >= SPEED_UP_TARGET else "MISSED"
    print(f"processes against threads, {label}: {speed_up:.2f}x faster (each run: "
          f"{', '.join(f'{w:.2f}' for w in walls)}; target >= {SPEED_UP_TARGET})  {verdict}")
    if "dask" in executors:
        default = workloads[0][0]
        dask_cpu, process_cpu = median[("dask", default)][1], median[("processes", default)][1]
        dask_wall = median[("dask", default)][0] / sizes[("dask", default)]
        process_wall = median[("processes", default)][0] / sizes[("processes", default)]
        print(f"dask against processes, {default}: {dask_wall * 1e3:.2f} ms against {process_wall * 1e3:.2f} ms "
              f"of wall time per task, {dask_cpu * 1e6:,.0f} us against {process_cpu * 1e6:,.0f} us "
              f"of scheduler CPU per task")


if __name__ == "__main__":
    main()
