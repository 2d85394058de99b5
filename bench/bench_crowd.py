"""Thousands of worker threads polling the queue with a short timeout.

N threads loop on get(timeout=0.05) (an empty queue raises, they retry) for
2 s; then the main thread puts 10 entries and waits until all 10 are taken.
Each run is a fresh process, ours and queue.PriorityQueue alternating, and
each reports its wall time and CPU time (user + system) from its start to
the tenth entry taken. Prints the medians per thread count.

    python bench/bench_crowd.py [--threads 1000 2000 4000] [--repeats 3]
"""

import argparse
import json
import os
import queue
import statistics
import subprocess
import sys
import threading
import time

THREAD_COUNTS = (1000, 2000, 4000)
ENTRIES = 10
POLL_TIMEOUT = 0.05
SETTLE_SECONDS = 2.0
GIVE_UP_SECONDS = 30.0  # a run that is stuck reports this much more wall time


def child(kind, n):
    """Runs the program once in this process and prints its times as JSON."""
    start_wall, start_cpu = time.perf_counter(), sum(os.times()[:2])
    if kind == "ours":
        from vesk_async_task import PyPriorityTaskQueue

        q = PyPriorityTaskQueue(0)

        def put(i):
            q.put(i % 3, f"t{i}", time.time())

    else:
        q = queue.PriorityQueue()

        def put(i):
            q.put((i % 3, time.time(), f"t{i}"))

    taken, lock, done = [], threading.Lock(), threading.Event()

    def worker():
        while not done.is_set():
            try:
                task = q.get(timeout=POLL_TIMEOUT)
            except Exception:
                continue
            with lock:
                taken.append(task)
                if len(taken) == ENTRIES:
                    done.set()

    for _ in range(n):
        threading.Thread(target=worker, daemon=True).start()
    time.sleep(SETTLE_SECONDS)
    for i in range(ENTRIES):
        put(i)
    finished = done.wait(GIVE_UP_SECONDS)
    result = {"wall": time.perf_counter() - start_wall, "cpu": sum(os.times()[:2]) - start_cpu,
              "finished": finished}
    print(json.dumps(result), flush=True)
    os._exit(0)  # the workers are still polling


def run_once(kind, n):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind, str(n)],
                         capture_output=True, text=True, timeout=GIVE_UP_SECONDS + 120, check=True)
    return json.loads(out.stdout)


def measure(thread_counts=THREAD_COUNTS, repeats=3):
    """{n: {kind: (median wall, median cpu, all finished)}} over interleaved runs."""
    runs = {n: {"ours": [], "peer": []} for n in thread_counts}
    for r in range(repeats):
        for n in thread_counts:
            for kind in ("ours", "peer") if r % 2 == 0 else ("peer", "ours"):
                runs[n][kind].append(run_once(kind, n))
    return {n: {kind: (statistics.median(x["wall"] for x in results),
                       statistics.median(x["cpu"] for x in results),
                       all(x["finished"] for x in results))
                for kind, results in by_kind.items()}
            for n, by_kind in runs.items()}


def rows(repeats, thread_counts=THREAD_COUNTS):
    """(label, ours, peer, target) rows: wall within 1.25x of the peer's, CPU no more."""
    table = []
    for n, result in measure(thread_counts, repeats).items():
        (ours_wall, ours_cpu, _), (peer_wall, peer_cpu, _) = result["ours"], result["peer"]
        table.append((f"{n} threads, get(timeout=0.05): wall vs PriorityQueue", ours_wall, peer_wall, 0.8))
        table.append((f"{n} threads, get(timeout=0.05): CPU vs PriorityQueue", ours_cpu, peer_cpu, 1.0))
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, nargs="+", default=list(THREAD_COUNTS))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", nargs=2, metavar=("KIND", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
    print(f"{'threads':>8} {'ours wall s':>12} {'peer wall s':>12} {'ours CPU s':>11} {'peer CPU s':>11}")
    for n, result in measure(args.threads, args.repeats).items():
        (ours_wall, ours_cpu, ours_done), (peer_wall, peer_cpu, peer_done) = result["ours"], result["peer"]
        stuck = "" if ours_done and peer_done else "  (a run was stuck)"
        print(f"{n:8} {ours_wall:12.2f} {peer_wall:12.2f} {ours_cpu:11.2f} {peer_cpu:11.2f}{stuck}")


if __name__ == "__main__":
    main()
