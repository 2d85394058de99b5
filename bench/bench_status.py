"""Status store speed and memory against a plain dict guarded by a threading.Lock.

Runs each workload on PyShardedTaskStatus and on the peer a Python developer
would write instead (a dict of dict records behind one lock, plus a heapq of
(expiry, id) entries for expiry), interleaving the two over several repeats,
and prints the median times and the ratio peer time / our time (higher is
better). Resident memory growth for many records is measured for each side in
a fresh subprocess.

    python bench/bench_status.py [--n 100000] [--repeats 7] [--memory-records 1000000]
"""

import argparse
import gc
import heapq
import random
import statistics
import subprocess
import sys
import threading
import time

from vesk_async_task import PyShardedTaskStatus

SHARDS = 16
TTL = 60
BATCH = 1000


class DictPeer:
    """The same store in plain Python: one lock, one dict, one expiry heap."""

    def __init__(self, ttl):
        self.ttl = ttl
        self.lock = threading.Lock()
        self.records = {}
        self.heap = []

    def update_status_fast(self, task_id, status, submit_time=None, start_time=None, end_time=None,
                           worker_id=None):
        record = {"status": status}
        if submit_time is not None:
            record["submit_time"] = submit_time
        if start_time is not None:
            record["start_time"] = start_time
        if end_time is not None:
            record["end_time"] = end_time
        if worker_id is not None:
            record["worker_id"] = worker_id
        with self.lock:
            self.records[task_id] = record
            if end_time is not None and status in ("completed", "failed"):
                heapq.heappush(self.heap, (end_time + self.ttl, task_id))

    def update_status_fast_batch(self, items):
        with self.lock:
            records, heap, ttl = self.records, self.heap, self.ttl
            for task_id, status, submit_time, start_time, end_time, worker_id in items:
                record = {"status": status}
                if submit_time is not None:
                    record["submit_time"] = submit_time
                if start_time is not None:
                    record["start_time"] = start_time
                if end_time is not None:
                    record["end_time"] = end_time
                if worker_id is not None:
                    record["worker_id"] = worker_id
                records[task_id] = record
                if end_time is not None and status in ("completed", "failed"):
                    heapq.heappush(heap, (end_time + ttl, task_id))
        return len(items)

    def update_status_fast_each(self, items):
        """The batch as a plain loop over the single-record update."""
        update = self.update_status_fast
        for item in items:
            update(*item)
        return len(items)

    def update_status_batch(self, items):
        written = 0
        with self.lock:
            for task_id, status in items:
                if not isinstance(status, dict):
                    continue
                record = dict(status)
                self.records[task_id] = record
                end_time = record.get("end_time")
                if end_time is not None and record.get("status") in ("completed", "failed"):
                    heapq.heappush(self.heap, (end_time + self.ttl, task_id))
                written += 1
        return written

    def get_status(self, task_id):
        with self.lock:
            record = self.records.get(task_id)
            return dict(record) if record is not None else None

    def get_status_batch(self, task_ids):
        with self.lock:
            get = self.records.get
            return [None if (record := get(task_id)) is None else dict(record) for task_id in task_ids]

    def cleanup_expired(self):
        now = time.time()
        removed = 0
        with self.lock:
            heap, records = self.heap, self.records
            while heap and heap[0][0] <= now:
                _, task_id = heapq.heappop(heap)
                if records.pop(task_id, None) is not None:
                    removed += 1
        return removed


class ScanPeer(DictPeer):
    """Cleanup without an expiry heap: one scan that deletes the expired records."""

    def cleanup_expired(self):
        now, ttl = time.time(), self.ttl
        with self.lock:
            records = self.records
            expired = [task_id for task_id, record in records.items()
                       if record.get("status") in ("completed", "failed")
                       and record.get("end_time") is not None and record["end_time"] + ttl <= now]
            for task_id in expired:
                del records[task_id]
        return len(expired)


class TuplePeer(DictPeer):
    """Writes keep a plain tuple per record instead of a dict."""

    def update_status_fast(self, task_id, status, submit_time=None, start_time=None, end_time=None,
                           worker_id=None):
        with self.lock:
            self.records[task_id] = (status, submit_time, start_time, end_time, worker_id)
            if end_time is not None and status in ("completed", "failed"):
                heapq.heappush(self.heap, (end_time + self.ttl, task_id))

    def update_status_fast_batch(self, items):
        with self.lock:
            records, heap, ttl = self.records, self.heap, self.ttl
            for item in items:
                task_id, status, _, _, end_time, _ = item
                records[task_id] = item[1:]
                if end_time is not None and status in ("completed", "failed"):
                    heapq.heappush(heap, (end_time + ttl, task_id))
        return len(items)


def make_ids(n):
    return [f"task-{i:09d}" for i in range(n)]


# ---- workloads: each returns the seconds of its timed part -----------------------


def w_update_fast(store, ids):
    update = store.update_status_fast
    start = time.perf_counter()
    for i, task_id in enumerate(ids):
        update(task_id, "running", 1.0, None, None, "worker-1")
    return time.perf_counter() - start


def w_get_status(store, ids):
    update = store.update_status_fast
    for task_id in ids:
        update(task_id, "running", 1.0, 2.0, None, "worker-1")
    get = store.get_status
    start = time.perf_counter()
    for task_id in ids:
        get(task_id)
    return time.perf_counter() - start


def w_fast_batch(store, ids):
    batches = [
        [(task_id, "running", 1.0, None, None, "worker-1") for task_id in ids[i:i + BATCH]]
        for i in range(0, len(ids), BATCH)
    ]
    update = store.update_status_fast_batch
    start = time.perf_counter()
    for batch in batches:
        update(batch)
    return time.perf_counter() - start


def w_fast_batch_vs_each(store, ids):
    if isinstance(store, DictPeer):
        store.update_status_fast_batch = store.update_status_fast_each
    return w_fast_batch(store, ids)


def w_dict_batch(store, ids):
    batches = [
        [(task_id, {"status": "running", "submit_time": 1.0, "worker_id": "worker-1"})
         for task_id in ids[i:i + BATCH]]
        for i in range(0, len(ids), BATCH)
    ]
    update = store.update_status_batch
    start = time.perf_counter()
    for batch in batches:
        update(batch)
    return time.perf_counter() - start


def w_cleanup(store, ids):
    ended = time.time() - 10 * TTL  # every record already expired
    update = store.update_status_fast
    for task_id in ids:
        update(task_id, "completed", None, None, ended, None)
    start = time.perf_counter()
    removed = store.cleanup_expired()
    elapsed = time.perf_counter() - start
    assert removed == len(ids), removed
    return elapsed


def w_get_batch(store, ids, order=None):
    update = store.update_status_fast
    for task_id in ids:
        update(task_id, "running", 1.0, 2.0, None, "worker-1")
    order = ids if order is None else order
    batches = [order[i:i + BATCH] for i in range(0, len(order), BATCH)]
    get = store.get_status_batch
    start = time.perf_counter()
    for batch in batches:
        get(batch)
    return time.perf_counter() - start


def w_get_batch_shuffled(store, ids):
    return w_get_batch(store, ids, random.Random(5).sample(ids, len(ids)))


def w_idle_cleanup(store, ids):
    ended = time.time() + 10 * TTL  # every record expires later
    update = store.update_status_fast
    for task_id in ids[:BATCH]:
        update(task_id, "completed", None, None, ended, None)
    cleanup = store.cleanup_expired
    start = time.perf_counter()
    for _ in ids:
        cleanup()
    return time.perf_counter() - start


# (name, workload, peer class, target ratio)
WORKLOADS = [
    ("update_status_fast", w_update_fast, TuplePeer, 1.6),
    ("update_status_fast (dict record)", w_update_fast, DictPeer, None),
    ("get_status", w_get_status, DictPeer, 1.6),
    ("get_status_batch", w_get_batch, DictPeer, 1.0),
    ("get_status_batch (shuffled ids)", w_get_batch_shuffled, DictPeer, None),
    ("update_status_fast_batch", w_fast_batch, TuplePeer, 1.6),
    ("update_status_fast_batch (dict record)", w_fast_batch, DictPeer, None),
    ("  (peer: loop of single updates)", w_fast_batch_vs_each, DictPeer, None),
    ("update_status_batch", w_dict_batch, DictPeer, None),
    ("cleanup_expired, all expired", w_cleanup, ScanPeer, 1.0),
    ("cleanup_expired, all expired (heapq peer)", w_cleanup, DictPeer, None),
    ("cleanup_expired, nothing due (n calls)", w_idle_cleanup, DictPeer, 1.0),
]

PEER_NAMES = {TuplePeer: "tuple + Lock", DictPeer: "dict + Lock", ScanPeer: "dict + Lock, scan"}


def time_workloads(n, repeats):
    ids = make_ids(n)
    results = {name: ([], []) for name, *_ in WORKLOADS}
    for r in range(repeats):
        for name, workload, peer, _ in WORKLOADS:
            sides = [("ours", lambda: PyShardedTaskStatus(SHARDS, TTL)), ("peer", lambda: peer(TTL))]
            if r % 2:
                sides.reverse()  # alternate who runs first
            for side, make in sides:
                store = make()
                gc.collect()
                elapsed = workload(store, ids)
                results[name][0 if side == "ours" else 1].append(elapsed)
                del store
    return results


# ---- memory: one fresh interpreter per side -----------------------------------------

MEMORY_CHILD = r"""
import gc, sys
side, n = sys.argv[1], int(sys.argv[2])
sys.path[:0] = sys.argv[3:]
from bench_status import DictPeer, make_ids, SHARDS, TTL
from vesk_async_task import PyShardedTaskStatus

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

ids = make_ids(n)
workers = [f"worker-{i}" for i in range(8)]
store = PyShardedTaskStatus(SHARDS, TTL) if side == "ours" else DictPeer(TTL)
gc.collect()
before = rss()
update = store.update_status_fast
for i, task_id in enumerate(ids):
    update(task_id, "running", 1000.0 + i, None, None, workers[i & 7])
gc.collect()
print(rss() - before)
"""


def memory_growth(side, n):
    here = sys.path[0] or "."
    run = subprocess.run([sys.executable, "-c", MEMORY_CHILD, side, str(n), here, *sys.path[1:]],
                         capture_output=True, text=True, check=True)
    return int(run.stdout.strip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000, help="records per workload")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--memory-records", type=int, default=1_000_000)
    args = parser.parse_args()

    print(f"CPython {sys.version.split()[0]}, n={args.n}, repeats={args.repeats}, shards={SHARDS}")
    print(f"{'workload':42} {'ours ns/op':>11} {'peer ns/op':>11} {'peer/ours':>10} {'target':>8}")
    results = time_workloads(args.n, args.repeats)
    for name, _, _, target in WORKLOADS:
        ours = statistics.median(results[name][0]) / args.n * 1e9
        peer = statistics.median(results[name][1]) / args.n * 1e9
        goal = f">= {target}" if target else "-"
        print(f"{name:42} {ours:11.1f} {peer:11.1f} {peer / ours:10.2f} {goal:>8}")

    if args.memory_records:
        ours = memory_growth("ours", args.memory_records)
        peer = memory_growth("peer", args.memory_records)
        print(f"memory for {args.memory_records} records: ours {ours / 2**20:.1f} MiB "
              f"({ours / args.memory_records:.0f} B/record), peer {peer / 2**20:.1f} MiB "
              f"({peer / args.memory_records:.0f} B/record), ours/peer {ours / peer:.2f} (target <= 0.5)")


if __name__ == "__main__":
    main()
