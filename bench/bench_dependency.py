"""Dependency manager speed against the pure-Python code it replaces.

Builds one random acyclic graph of --tasks tasks and --edges distinct
(task, dependency) pairs (a dependency always has a smaller number than its
task, so the cycle check has to look at everything), then times, over
several interleaved repeats:

- add_dependencies_batch of every pair into a fresh manager, against a loop
  filling two dicts of sets behind a threading.Lock;
- get_ready_tasks over every task with a random half marked completed, against
  the same lookups on the dicts of sets (both the plain `all(...)` loop and the
  faster `set.issuperset` form);
- has_circular_dependency, against graphlib.TopologicalSorter(graph).prepare()
  (construction included, since that is what a caller has to run; prepare
  alone is printed too), and find_cycle, which walks the same way and here
  finds none.

Prints the median of each and the ratio peer time / our time (higher is
better).

    python bench/bench_dependency.py [--tasks 100000] [--edges 300000] [--repeats 5]
"""

import argparse
import gc
import graphlib
import random
import statistics
import subprocess
import sys
import threading
import time

from vesk_async_task import PyTaskDependencyManager

EMPTY = frozenset()


class DictPeer:
    """The manager in plain Python: two dicts of sets and a completed set."""

    def __init__(self):
        self.lock = threading.Lock()
        self.dependencies = {}
        self.dependents = {}
        self.completed = set()

    def add_dependencies_batch(self, pairs):
        with self.lock:
            dependencies, dependents = self.dependencies, self.dependents
            for task_id, dep_id in pairs:
                deps = dependencies.get(task_id)
                if deps is None:
                    dependencies[task_id] = deps = set()
                deps.add(dep_id)
                users = dependents.get(dep_id)
                if users is None:
                    dependents[dep_id] = users = set()
                users.add(task_id)

    def mark_completed(self, task_id):
        with self.lock:
            self.completed.add(task_id)

    def get_ready_tasks_loop(self, task_ids):
        with self.lock:
            get, completed = self.dependencies.get, self.completed
            return [all(dep in completed for dep in get(task_id, EMPTY)) for task_id in task_ids]

    def get_ready_tasks_superset(self, task_ids):
        with self.lock:
            get, superset = self.dependencies.get, self.completed.issuperset
            return [superset(get(task_id, EMPTY)) for task_id in task_ids]


def random_dag(tasks, edges, seed):
    rng = random.Random(seed)
    ids = [f"task-{i:06d}" for i in range(tasks)]
    seen = set()
    pairs = []
    while len(pairs) < edges:
        task = rng.randrange(1, tasks)
        dep = rng.randrange(0, task)
        if (task, dep) not in seen:
            seen.add((task, dep))
            pairs.append((ids[task], ids[dep]))
    return ids, pairs


def timed(fn, *args):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def graphlib_full(graph):
    try:
        graphlib.TopologicalSorter(graph).prepare()
        return False
    except graphlib.CycleError:
        return True


def graphlib_prepare_only(graph):
    sorter = graphlib.TopologicalSorter(graph)
    start = time.perf_counter()
    try:
        sorter.prepare()
        cyclic = False
    except graphlib.CycleError:
        cyclic = True
    return time.perf_counter() - start, cyclic


def measure(tasks, edges, repeats, seed):
    """Median seconds of each timed operation, by name."""
    ids, pairs = random_dag(tasks, edges, seed)
    done = random.Random(seed + 1).sample(ids, len(ids) // 2)
    times = {name: [] for name in ("batch", "batch_peer", "ready", "ready_loop", "ready_superset",
                                   "cycle", "find_cycle", "cycle_graphlib", "cycle_prepare")}

    for repeat in range(repeats):
        # A fresh pair of stores each round; alternate which side goes first.
        manager, peer = PyTaskDependencyManager(), DictPeer()
        sides = [("ours", manager), ("peer", peer)]
        if repeat % 2:
            sides.reverse()
        for side, store in sides:
            elapsed = timed(store.add_dependencies_batch, pairs)[0]
            times["batch" if side == "ours" else "batch_peer"].append(elapsed)
        for task_id in done:
            manager.mark_completed(task_id)
            peer.mark_completed(task_id)

        ready_ours = timed(manager.get_ready_tasks, ids)
        ready_loop = timed(peer.get_ready_tasks_loop, ids)
        ready_superset = timed(peer.get_ready_tasks_superset, ids)
        assert ready_ours[1] == ready_loop[1] == ready_superset[1]
        times["ready"].append(ready_ours[0])
        times["ready_loop"].append(ready_loop[0])
        times["ready_superset"].append(ready_superset[0])

        cycle_ours = timed(manager.has_circular_dependency)
        found = timed(manager.find_cycle)
        assert found[1] == []
        times["find_cycle"].append(found[0])
        cycle_peer = timed(graphlib_full, peer.dependencies)
        prepare_only = graphlib_prepare_only(peer.dependencies)
        assert cycle_ours[1] is cycle_peer[1] is prepare_only[1] is False
        times["cycle"].append(cycle_ours[0])
        times["cycle_graphlib"].append(cycle_peer[0])
        times["cycle_prepare"].append(prepare_only[0])
    return {name: statistics.median(values) for name, values in times.items()}


ROWS = [
    ("add_dependencies_batch vs dict-of-sets loop", "batch", "batch_peer", 1.1),
    ("get_ready_tasks vs all() loop", "ready", "ready_loop", None),
    ("get_ready_tasks vs issuperset loop", "ready", "ready_superset", 2.5),
    ("has_circular_dependency vs graphlib", "cycle", "cycle_graphlib", 15.0),
    ("has_circular_dependency vs prepare() only", "cycle", "cycle_prepare", None),
    ("find_cycle vs graphlib", "find_cycle", "cycle_graphlib", 15.0),
]


MEMORY_CHILD = r"""
import gc, sys
side, tasks, edges = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sys.path[:0] = sys.argv[4:]
from bench_dependency import DictPeer, random_dag
from vesk_async_task import PyTaskDependencyManager

def kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))

_, pairs = random_dag(tasks, edges, 7)
store = PyTaskDependencyManager() if side == "ours" else DictPeer()
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak so far was the graph's generation: start it again from here
before = kib("VmRSS:")
store.add_dependencies_batch(pairs)
print((kib("VmHWM:") - before) * 1024)
"""


def peak_memory_growth(side, tasks, edges):
    """Peak resident growth of one add_dependencies_batch of every pair, in a fresh process."""
    here = sys.path[0] or "."
    run = subprocess.run([sys.executable, "-c", MEMORY_CHILD, side, str(tasks), str(edges), here,
                          *sys.path[1:]], capture_output=True, text=True, check=True)
    return int(run.stdout.strip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=100_000)
    parser.add_argument("--edges", type=int, default=300_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    median = measure(args.tasks, args.edges, args.repeats, args.seed)
    print(f"{args.tasks} tasks, {args.edges} edges, median of {args.repeats} interleaved repeats")
    print(f"{'operation':<42}{'ours ms':>10}{'peer ms':>10}{'ratio':>8}")
    for label, ours, theirs, _ in ROWS:
        ratio = median[theirs] / median[ours]
        print(f"{label:<42}{median[ours] * 1e3:>10.2f}{median[theirs] * 1e3:>10.2f}{ratio:>8.2f}")

if __name__ == "__main__":
    main()
