"""Eight threads hammer all four objects at once; totals are exact afterwards.

Runs for VESK_SOAK_SECONDS (default 3) seconds.
"""

import os
import random
import threading
import time

from vesk_async_task import PyBatchedUpdater, PyPriorityTaskQueue, PyShardedTaskStatus, PyTaskDependencyManager

SECONDS = float(os.environ.get("VESK_SOAK_SECONDS", "3"))


def test_soak_all_objects_from_eight_threads():
    queue = PyPriorityTaskQueue(0)
    store = PyShardedTaskStatus(8, 3600)
    manager = PyTaskDependencyManager()
    updater = PyBatchedUpdater(16)
    deadline = time.monotonic() + SECONDS
    barrier = threading.Barrier(8)
    put_ids = [[] for _ in range(2)]
    got_ids = [[] for _ in range(2)]
    written = [set() for _ in range(2)]
    removed = [set() for _ in range(2)]
    pairs = [set() for _ in range(2)]
    operations = [0] * 8
    errors = []

    def guarded(index, body):
        def run():
            try:
                barrier.wait(10)
                body(index, random.Random(index))
            except BaseException as error:  # noqa: B036 - reported by the main thread
                errors.append(error)
        return run

    def producer(index, rng):
        n = 0
        while time.monotonic() < deadline:
            batch = [(rng.randint(0, 9), f"q{index}-{n + k}", time.time()) for k in range(rng.randint(1, 5))]
            if rng.random() < 0.5:
                for entry in batch:
                    queue.put(*entry)
            else:
                assert queue.put_batch(batch) == len(batch)
            put_ids[index - 0].extend(e[1] for e in batch)
            n += len(batch)
            operations[index] += 1

    def consumer(index, rng):
        mine = got_ids[index - 2]
        while time.monotonic() < deadline:
            if rng.random() < 0.5:
                try:
                    mine.append(queue.get(timeout=0.005))
                except Exception:
                    pass
            else:
                mine.extend(queue.get_batch(rng.randint(1, 8)))
            operations[index] += 1

    def store_writer(index, rng):
        slot = index - 4
        n = 0
        while time.monotonic() < deadline:
            ids = [f"s{slot}-{n + k}" for k in range(rng.randint(1, 6))]
            n += len(ids)
            if rng.random() < 0.5:
                for task_id in ids:
                    store.update_status_fast(task_id, "running", 1.0, None, None, f"w{slot}")
            else:
                assert store.update_status_fast_batch([(t, "completed", 1.0, 2.0, 3.0, None) for t in ids]) == len(ids)
            written[slot].update(ids)
            victim = rng.choice(ids)
            if rng.random() < 0.3 and store.remove_status(victim):
                removed[slot].add(victim)
            assert store.get_status(ids[-1]) is not None or ids[-1] in removed[slot]
            updater.update_batch([(t, {"status": "done"}) for t in ids])
            operations[index] += 1

    def dependency_worker(index, rng):
        slot = index - 6
        while time.monotonic() < deadline:
            a, b = f"d{slot}-{rng.randint(0, 30)}", f"d{slot}-{rng.randint(0, 30)}"
            if rng.random() < 0.6:
                manager.add_dependencies_batch([(a, b)])
                pairs[slot].add((a, b))
            elif manager.remove_dependency(a, b):
                pairs[slot].discard((a, b))
            manager.get_ready_tasks([a, b])
            if rng.random() < 0.05:
                manager.has_circular_dependency()
            operations[index] += 1

    bodies = [producer, producer, consumer, consumer, store_writer, store_writer, dependency_worker, dependency_worker]
    threads = [threading.Thread(target=guarded(i, body)) for i, body in enumerate(bodies)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 30)
    assert not any(t.is_alive() for t in threads)
    assert not errors, errors

    leftover = queue.get_batch()
    taken = got_ids[0] + got_ids[1] + leftover
    everything = put_ids[0] + put_ids[1]
    assert len(taken) == len(everything) and set(taken) == set(everything)
    assert queue.qsize() == 0

    kept = (written[0] - removed[0]) | (written[1] - removed[1])
    assert store.get_total_count() == len(kept)
    assert all(status is not None for status in store.get_status_batch(sorted(kept)[:2000]))

    for slot in range(2):
        for a, b in pairs[slot]:
            assert b in manager.get_dependencies(a) and a in manager.get_dependents(b)
    tasks = {t for slot in range(2) for pair in pairs[slot] for t in pair}
    declared = {(a, b) for a in tasks for b in manager.get_dependencies(a)}
    assert declared == pairs[0] | pairs[1]
    mirrored = {(a, b) for b in tasks for a in manager.get_dependents(b)}
    assert mirrored == declared
    print(f"soak: {sum(operations)} operations in {SECONDS:.1f} s, {sum(operations) / SECONDS:,.0f} per second")
