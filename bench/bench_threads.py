"""The shared objects under several threads at once, against their plain-Python peers.

Each row runs the same threads on ours and on the peer, the two taking turns
over the repeats, and gives the median throughput (operations per second, all
threads together) and the ratio ours / peer (higher is better):

- store, 4 threads mixing update_status_fast and get_status on shared ids;
- store, 2 threads writing batches while 2 read batches;
- queue, 2 producers put and 2 consumers get(timeout), one entry at a time,
  against queue.PriorityQueue; and the same with put_batch/get_batch, against
  heapq behind a threading.Condition;
- dependencies, 2 threads adding edges while 2 call get_ready_tasks.

    python bench/bench_threads.py [--n 100000] [--repeats 5]
"""

import argparse
import functools
import heapq
import queue
import statistics
import sys
import threading
import time

from vesk_async_task import PyPriorityTaskQueue, PyShardedTaskStatus, PyTaskDependencyManager

import bench_dependency
import bench_status

BATCH = 1000
SHARED_IDS = 1024  # every store thread works on the same ids
JOIN_SECONDS = 120


def run_threads(workers):
    """Seconds from the common start of `workers` (callables) to the end of the last."""
    barrier = threading.Barrier(len(workers) + 1)
    errors = []

    def run(work):
        barrier.wait()
        try:
            work()
        except BaseException as error:  # reported below, in the timing thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(work,), daemon=True) for work in workers]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join(JOIN_SECONDS)
    elapsed = time.perf_counter() - start
    if errors or any(thread.is_alive() for thread in threads):
        raise RuntimeError(f"a benchmark thread failed or hung: {errors!r}")
    return elapsed


# ---- the status store ---------------------------------------------------------------


def store_mixed(store, n):
    """4 threads, each alternating one update and one read of the shared ids; n operations."""
    ids = bench_status.make_ids(SHARED_IDS)

    def work(offset):
        update, get = store.update_status_fast, store.get_status
        for i in range(offset, offset + n // 8):
            task_id = ids[i % SHARED_IDS]
            update(task_id, "running", 1.0, 2.0, None, "worker-1")
            get(task_id)

    return n // 8 * 8, run_threads([lambda k=k: work(k * 257) for k in range(4)])


def store_batches(store, n):
    """2 threads writing batches of the shared ids while 2 read them; 4n records."""
    ids = bench_status.make_ids(SHARED_IDS)
    batch = [(task_id, "running", 1.0, 2.0, None, "worker-1") for task_id in ids[:BATCH]]
    rounds = max(1, n // BATCH)
    store.update_status_fast_batch(batch)

    def write():
        for _ in range(rounds):
            store.update_status_fast_batch(batch)

    def read():
        for _ in range(rounds):
            store.get_status_batch(ids[:BATCH])

    return 4 * rounds * BATCH, run_threads([write, write, read, read])


def new_store():
    return PyShardedTaskStatus(bench_status.SHARDS, bench_status.TTL)


def new_store_peer():
    return bench_status.DictPeer(bench_status.TTL)


# ---- the priority queue ---------------------------------------------------------------


class HeapQueue:
    """heapq behind a threading.Condition, with the batch methods of ours."""

    def __init__(self):
        self.heap = []
        self.ready = threading.Condition(threading.Lock())

    def put(self, priority, task_id, submit_time):
        with self.ready:
            heapq.heappush(self.heap, (priority, submit_time, task_id))
            self.ready.notify()

    def get(self, timeout):
        with self.ready:
            if not self.ready.wait_for(lambda: self.heap, timeout):
                raise queue.Empty
            return heapq.heappop(self.heap)[2]

    def put_batch(self, items):
        with self.ready:
            for priority, task_id, submit_time in items:
                heapq.heappush(self.heap, (priority, submit_time, task_id))
            self.ready.notify_all()
        return len(items)

    def get_batch(self, max_count):
        with self.ready:
            pop, heap = heapq.heappop, self.heap
            return [pop(heap)[2] for _ in range(min(max_count, len(heap)))]


class PriorityQueuePeer:
    """queue.PriorityQueue under the method names of ours."""

    def __init__(self):
        self.queue = queue.PriorityQueue()

    def put(self, priority, task_id, submit_time):
        self.queue.put((priority, submit_time, task_id))

    def get(self, timeout):
        return self.queue.get(timeout=timeout)[2]


class Ours:
    def __init__(self):
        self.queue = PyPriorityTaskQueue(0)
        self.put, self.put_batch, self.get_batch = self.queue.put, self.queue.put_batch, self.queue.get_batch

    def get(self, timeout):
        return self.queue.get(timeout=timeout)


def queue_single(q, n):
    """2 producers put n entries one by one; 2 consumers take them with get(timeout)."""
    half = n // 2

    def produce(first):
        put = q.put
        for i in range(first, first + half):
            put(i % 10, f"task-{i}", 0.0)

    def consume():
        get = q.get
        for _ in range(half):
            get(10.0)

    return 2 * half, run_threads([lambda: produce(0), lambda: produce(half), consume, consume])


def queue_batches(q, n):
    """The same with put_batch of BATCH entries and get_batch, waiting with get(timeout) when empty."""
    half = n // 2
    batches = [[(i % 10, f"task-{i}", 0.0) for i in range(k, min(k + BATCH, n))] for k in range(0, n, BATCH)]

    def produce(part):
        for batch in part:
            q.put_batch(batch)

    def consume():
        left = half
        while left:
            taken = len(q.get_batch(min(BATCH, left))) or (q.get(10.0) and 1)
            left -= taken

    return n, run_threads([lambda: produce(batches[0::2]), lambda: produce(batches[1::2]), consume, consume])


# ---- the dependency manager -------------------------------------------------------------


class DependencyPeer(bench_dependency.DictPeer):
    def add_dependency(self, task_id, dep_id):
        self.add_dependencies_batch(((task_id, dep_id),))

    get_ready_tasks = bench_dependency.DictPeer.get_ready_tasks_superset


@functools.lru_cache(maxsize=1)
def dependency_graph(n):
    return bench_dependency.random_dag(max(BATCH, n // 3), n, seed=7)


def dependencies_mixed(manager, n):
    """2 threads add n/2 edges each, one by one, while 2 ask get_ready_tasks of BATCH ids n/(2 BATCH) times."""
    ids, pairs = dependency_graph(n)
    tasks = len(ids)
    for task_id in ids[::2]:
        manager.mark_completed(task_id)
    rounds = max(1, n // (2 * BATCH))

    def add(part):
        add_dependency = manager.add_dependency
        for task_id, dep_id in part:
            add_dependency(task_id, dep_id)

    def ask(first):
        for r in range(rounds):
            start = (first + r * BATCH) % (tasks - BATCH)
            manager.get_ready_tasks(ids[start:start + BATCH])

    workers = [lambda: add(pairs[0::2]), lambda: add(pairs[1::2]), lambda: ask(0), lambda: ask(tasks // 2)]
    return len(pairs) + 2 * rounds * BATCH, run_threads(workers)


# (label, workload, make ours, make peer, target ratio)
ROWS = [
    ("store: 4 threads update_status_fast+get_status vs dict+Lock", store_mixed, new_store, new_store_peer, 2.0),
    ("store: 2 batch writers + 2 batch readers vs dict+Lock", store_batches, new_store, new_store_peer, 2.0),
    ("queue: 2 put + 2 get(timeout) vs queue.PriorityQueue", queue_single, Ours, PriorityQueuePeer, 2.0),
    ("queue: 2 put_batch + 2 get_batch vs heapq+Condition", queue_batches, Ours, HeapQueue, 2.0),
    ("deps: 2 add_dependency + 2 get_ready_tasks vs dicts of sets", dependencies_mixed,
     PyTaskDependencyManager, DependencyPeer, 2.0),
]


def rows(n, repeats):
    """(label, ours ops/s, peer ops/s, target) of every threaded row, medians of interleaved repeats."""
    result = []
    for label, workload, ours, peer, target in ROWS:
        rates = ([], [])
        for repeat in range(repeats):
            sides = [(0, ours), (1, peer)] if repeat % 2 == 0 else [(1, peer), (0, ours)]
            for side, make in sides:
                operations, seconds = workload(make(), n)
                rates[side].append(operations / seconds)
        result.append((label, statistics.median(rates[0]), statistics.median(rates[1]), target))
    return result


def report(n, repeats):
    """Prints the threaded rows; returns how many missed their target."""
    print(f"{'threaded, {:,} operations per run'.format(n):58} {'ours op/s':>10} {'peer op/s':>10} "
          f"{'ratio':>7} {'target':>7}")
    missed = 0
    for label, ours, peer, target in rows(n, repeats):
        ratio = ours / peer
        verdict = "ok" if ratio >= target else "MISSED"
        missed += verdict == "MISSED"
        print(f"{label:58} {ours:10.0f} {peer:10.0f} {ratio:7.2f} {f'>= {target:g}':>7}  {verdict}")
    return missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}")
    report(args.n, args.repeats)


if __name__ == "__main__":
    main()
