"""Priority queue speed against the pure-Python queues it replaces.

Times, over interleaved repeats (median):
- put then get(block=False) of N ids, against queue.PriorityQueue put/get_nowait
  and against heapq behind a threading.Lock;
- put_batch/get_batch of N ids in batches, against a heapq loop behind a lock;
- the wake-up latency of a get blocked in another thread after a put, against
  queue.PriorityQueue.get;
- the CPU time one idle blocked get uses over a second, against the same.

Prints the median of each and the ratio peer / ours (higher is better; for
CPU, the share of a core).

    python bench/bench_queue.py [--n 100000] [--repeats 7]
"""

import argparse
import heapq
import queue
import resource
import statistics
import threading
import time

from vesk_async_task import PyPriorityTaskQueue

BATCH = 1000


def ids_for(n):
    return [f"task-{i:08d}" for i in range(n)]


def ours_put_get(ids):
    q = PyPriorityTaskQueue(0)
    put, get = q.put, q.get
    start = time.perf_counter()
    for i, task_id in enumerate(ids):
        put(i % 10, task_id, 0.0)
    for _ in ids:
        get(False)
    return time.perf_counter() - start


def priority_queue_put_get(ids):
    q = queue.PriorityQueue()
    put, get = q.put, q.get_nowait
    start = time.perf_counter()
    for i, task_id in enumerate(ids):
        put((i % 10, 0.0, task_id))
    for _ in ids:
        get()
    return time.perf_counter() - start


def heapq_put_get(ids):
    heap, lock = [], threading.Lock()
    push, pop = heapq.heappush, heapq.heappop
    start = time.perf_counter()
    for i, task_id in enumerate(ids):
        with lock:
            push(heap, (i % 10, 0.0, task_id))
    for _ in ids:
        with lock:
            pop(heap)
    return time.perf_counter() - start


def ours_batches(ids):
    q = PyPriorityTaskQueue(0)
    batches = [[(i % 10, t, 0.0) for i, t in enumerate(ids[k : k + BATCH])] for k in range(0, len(ids), BATCH)]
    start = time.perf_counter()
    for batch in batches:
        q.put_batch(batch)
    for _ in batches:
        q.get_batch(BATCH)
    return time.perf_counter() - start


def heapq_batches(ids):
    heap, lock = [], threading.Lock()
    push, pop = heapq.heappush, heapq.heappop
    batches = [[(i % 10, 0.0, t) for i, t in enumerate(ids[k : k + BATCH])] for k in range(0, len(ids), BATCH)]
    start = time.perf_counter()
    for batch in batches:
        with lock:
            for entry in batch:
                push(heap, entry)
    for _ in batches:
        with lock:
            [pop(heap)[2] for _ in range(min(BATCH, len(heap)))]
    return time.perf_counter() - start


def wake_latency(make_queue, put, get, rounds=200):
    """Median seconds from a put to the return of a get blocked in another thread."""
    q = make_queue()
    latencies = []
    ready = threading.Event()
    woken = []

    def waiter():
        for _ in range(rounds):
            ready.set()
            get(q)
            woken.append(time.perf_counter())

    thread = threading.Thread(target=waiter)
    thread.start()
    for i in range(rounds):
        ready.wait()
        ready.clear()
        time.sleep(0.002)  # let the waiter block
        sent = time.perf_counter()
        put(q, i)
        while len(woken) <= i:
            time.sleep(0)
        latencies.append(woken[i] - sent)
    thread.join(10)
    return statistics.median(latencies)


def ours_wake():
    return wake_latency(lambda: PyPriorityTaskQueue(0), lambda q, i: q.put(0, f"t{i}", 0.0), lambda q: q.get())


def priority_queue_wake():
    return wake_latency(queue.PriorityQueue, lambda q, i: q.put((0, 0.0, f"t{i}")), lambda q: q.get())


def idle_cpu(make_queue, get, seconds=1.0):
    """Share of a core used by one thread blocked in get for `seconds`."""
    q = make_queue()
    usage = []

    def waiter():
        before = resource.getrusage(resource.RUSAGE_THREAD)
        try:
            get(q, seconds)
        except Exception:
            pass
        after = resource.getrusage(resource.RUSAGE_THREAD)
        usage.append((after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime))

    thread = threading.Thread(target=waiter)
    thread.start()
    thread.join(seconds + 10)
    return usage[0] / seconds


def ours_idle():
    return idle_cpu(lambda: PyPriorityTaskQueue(0), lambda q, s: q.get(timeout=s))


def priority_queue_idle():
    return idle_cpu(queue.PriorityQueue, lambda q, s: q.get(timeout=s))


def timed_pairs(n, repeats):
    """(label, ours, peer, target) rows of the throughput comparisons."""
    ids = ids_for(n)
    pairs = [
        ("put+get(block=False) vs queue.PriorityQueue", ours_put_get, priority_queue_put_get, 4.0),
        ("put+get(block=False) vs heapq+Lock", ours_put_get, heapq_put_get, 2.2),
        ("put_batch/get_batch vs heapq loop+Lock", ours_batches, heapq_batches, 3.0),
    ]
    rows = []
    for label, ours, peer, target in pairs:
        ours_times, peer_times = [], []
        for _ in range(repeats):
            ours_times.append(ours(ids))
            peer_times.append(peer(ids))
        rows.append((label, statistics.median(ours_times), statistics.median(peer_times), target))
    return rows


def latency_rows(repeats):
    ours_times, peer_times = [], []
    for _ in range(max(1, repeats // 2)):
        ours_times.append(ours_wake())
        peer_times.append(priority_queue_wake())
    return [("wake latency of a blocked get vs PriorityQueue.get",
             statistics.median(ours_times), statistics.median(peer_times), 1.0)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    rows = timed_pairs(args.n, args.repeats) + latency_rows(args.repeats)
    print(f"{'comparison':55} {'ours':>12} {'peer':>12} {'ratio':>7} {'target':>7}")
    for label, ours, peer, target in rows:
        print(f"{label:55} {ours * 1e3:10.3f}ms {peer * 1e3:10.3f}ms {peer / ours:7.2f} {target:7.1f}")
    ours_cpu, peer_cpu = ours_idle(), priority_queue_idle()
    print(f"CPU of one idle blocked get over 1 s: ours {ours_cpu:.2%} of a core, "
          f"queue.PriorityQueue {peer_cpu:.2%} (target <= 1%)")


if __name__ == "__main__":
    main()
