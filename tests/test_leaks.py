"""Memory and reference counts stay flat when every method runs many times."""

import gc
import os
import sys

import pytest

from vesk_async_task import (
    PrioritizedTask,
    PyBatchedUpdater,
    PyPriorityTaskQueue,
    PyShardedTaskStatus,
    PyTaskDependencyManager,
)


def resident_kib():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * 4


class Payload:
    """A result object whose references are counted."""


def run_store(rounds, payload, record, ids):
    store = PyShardedTaskStatus(4, 0)
    for i in range(rounds):
        task_id = ids[i % len(ids)]
        store.update_status(task_id, record)
        store.update_status_fast(task_id, "completed", 1.0, 2.0, 3.0, "w")
        store.get_status(task_id)
        store.update_status_batch([(task_id, record), (task_id, "not a dict")])
        store.update_status_fast_batch([(task_id, "failed", None, None, 0.0, None)])
        store.get_status_batch([task_id, "missing"])
        store.cleanup_expired()
        store.update_status(task_id, record)
        store.enforce_max_count(len(ids) // 2)
        store.remove_status(task_id)
        store.get_total_count()
        store.resize_shards(3)
        try:
            store.update_status_fast_batch([(task_id, "x", "bad", None, None, None)])
        except TypeError:
            pass
        if i % 97 == 0:
            store.clear_all()


def run_queue(rounds, payload, record, ids):
    queue = PyPriorityTaskQueue(0)
    for i in range(rounds):
        task_id = ids[i % len(ids)]
        queue.put(i % 7, task_id, 0.5)
        queue.put_batch([(1, task_id, 0.0), (2, "other", 1.0)])
        queue.remove("other")
        queue.get(False)
        queue.get_batch(3)
        queue.qsize(), queue.empty(), queue.full()
        try:
            queue.get(False)
        except Exception:
            pass
        try:
            queue.put_batch([(1, task_id, 0.0), (1, task_id)])
        except ValueError:
            pass
        PrioritizedTask(1, task_id, 0.0)
        if i % 97 == 0:
            queue.clear()


def run_dependencies(rounds, payload, record, ids):
    manager = PyTaskDependencyManager()
    for i in range(rounds):
        a, b = ids[i % len(ids)], ids[(i * 7 + 1) % len(ids)]
        manager.add_dependency(a, b)
        manager.add_dependencies_batch([(b, "root"), (a, "root")])
        manager.is_ready(a)
        manager.get_ready_tasks([a, b, "root"])
        manager.mark_completed("root")
        manager.get_dependencies(a)
        manager.get_dependents("root")
        manager.remove_dependency(a, b)
        if i % 50 == 0:
            manager.has_circular_dependency()
        if i % 97 == 0:
            manager.reset_completed()
            manager.clear()


def run_updater(rounds, payload, record, ids):
    updater = PyBatchedUpdater(8)
    for i in range(rounds):
        task_id = ids[i % len(ids)]
        updater.update_batch([(task_id, record), (task_id, None), ("x", {"result": payload})])


WORKLOADS = [run_store, run_queue, run_dependencies, run_updater]


@pytest.mark.parametrize("workload", WORKLOADS, ids=lambda f: f.__name__)
def test_reference_counts_return_to_baseline(workload):
    payload = Payload()
    record = {"status": "completed", "end_time": 0.0, "result": payload, "worker_id": "w"}
    ids = [f"task-{i:04d}-" + "x" * 20 for i in range(50)]
    workload(10, payload, record, ids)
    gc.collect()
    before = [sys.getrefcount(o) for o in (payload, record, *ids)]
    workload(300, payload, record, ids)
    PyPriorityTaskQueue(0).qsize()  # drains references released without the interpreter lock
    gc.collect()
    after = [sys.getrefcount(o) for o in (payload, record, *ids)]
    assert after == before


@pytest.mark.skipif(bool(os.environ.get("VESK_SANITIZED")),
                    reason="a sanitizer's quarantine keeps freed memory resident")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc (Linux)")
@pytest.mark.parametrize("workload", WORKLOADS, ids=lambda f: f.__name__)
def test_resident_memory_stops_growing(workload):
    payload = Payload()
    record = {"status": "completed", "end_time": 0.0, "result": payload}
    ids = [f"task-{i:04d}" for i in range(200)]
    workload(2000, payload, record, ids)  # warm up allocator pools
    gc.collect()
    start = resident_kib()
    for _ in range(3):
        workload(2000, payload, record, ids)
    gc.collect()
    growth = resident_kib() - start
    assert growth < 2048, f"resident memory grew by {growth} KiB"


def test_instances_do_not_leak_their_types():
    classes = [PyShardedTaskStatus, PyPriorityTaskQueue, PyTaskDependencyManager, PrioritizedTask, PyBatchedUpdater]
    before = [sys.getrefcount(c) for c in classes]
    for _ in range(500):
        PyShardedTaskStatus(2, 1)
        PyPriorityTaskQueue(1)
        PyTaskDependencyManager()
        PrioritizedTask(0, "t", 0.0)
        PyBatchedUpdater(1)
    assert [sys.getrefcount(c) for c in classes] == before
