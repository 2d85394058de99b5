"""Every speed and memory comparison against the Python peers, in one run.

Prints one table: the median time of ours and of the peer over interleaved
repeats, the ratio peer time / our time (higher is better) and the target;
then the threaded rows as throughput (operations per second), ratio ours / peer.

    python bench/run.py           # full sizes
    python bench/run.py --quick   # small sizes, a few seconds
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_aio  # noqa: E402
import bench_dependency  # noqa: E402
import bench_queue  # noqa: E402
import bench_status  # noqa: E402
import bench_crowd  # noqa: E402
import bench_threads  # noqa: E402


def queue_rows(n, repeats):
    return bench_queue.timed_pairs(n, repeats) + bench_queue.latency_rows(repeats)


def status_rows(n, repeats):
    results = bench_status.time_workloads(n, repeats)
    rows = []
    for name, _, peer_class, target in bench_status.WORKLOADS:
        ours, peer = (sorted(times)[len(times) // 2] for times in results[name])
        rows.append((f"{name.strip()} vs {bench_status.PEER_NAMES[peer_class]}", ours, peer, target))
    return rows


def dependency_rows(tasks, edges, repeats):
    median = bench_dependency.measure(tasks, edges, repeats, seed=7)
    return [(label, median[ours], median[peer], target)
            for label, ours, peer, target in bench_dependency.ROWS]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes for a short run")
    args = parser.parse_args()
    if args.quick:
        n, repeats, tasks, edges, records = 20_000, 3, 20_000, 60_000, 100_000
    else:
        n, repeats, tasks, edges, records = 100_000, 7, 100_000, 300_000, 1_000_000

    print(f"CPython {sys.version.split()[0]}; n={n}, repeats={repeats}, graph {tasks} tasks / {edges} edges")
    rows = queue_rows(n, repeats) + status_rows(n, repeats) + dependency_rows(tasks, edges, repeats)
    rows += bench_aio.rows(n // 5, repeats)
    rows += bench_crowd.rows(1 if args.quick else 3)
    print(f"{'comparison':58} {'ours ms':>10} {'peer ms':>10} {'ratio':>7} {'target':>7}  ")
    missed = 0
    for label, ours, peer, target in rows:
        ratio = peer / ours
        verdict = "" if target is None else ("ok" if ratio >= target else "MISSED")
        missed += verdict == "MISSED"
        goal = "-" if target is None else f">= {target:g}"
        print(f"{label:58} {ours * 1e3:10.3f} {peer * 1e3:10.3f} {ratio:7.2f} {goal:>7}  {verdict}")

    missed += bench_threads.report(n, repeats)

    ours_cpu, peer_cpu = bench_queue.ours_idle(), bench_queue.priority_queue_idle()
    verdict = "ok" if ours_cpu <= 0.01 else "MISSED"
    print(f"CPU of one idle blocked get over 1 s: ours {ours_cpu:.2%} of a core, "
          f"queue.PriorityQueue {peer_cpu:.2%} (target <= 1%)  {verdict}")

    ours_mem = bench_status.memory_growth("ours", records)
    peer_mem = bench_status.memory_growth("peer", records)
    share = ours_mem / peer_mem
    print(f"memory of {records:,} status records: ours {ours_mem / 2**20:.1f} MiB, "
          f"dict + Lock {peer_mem / 2**20:.1f} MiB, ours/peer {share:.2f} (target <= 0.5)  "
          f"{'ok' if share <= 0.5 else 'MISSED'}")
    ours_graph = bench_dependency.peak_memory_growth("ours", tasks, edges)
    peer_graph = bench_dependency.peak_memory_growth("peer", tasks, edges)
    print(f"peak memory of add_dependencies_batch ({edges:,} edges): ours {ours_graph / 2**20:.1f} MiB, "
          f"dicts of sets {peer_graph / 2**20:.1f} MiB (target ours <= peer)  "
          f"{'ok' if ours_graph <= peer_graph else 'MISSED'}")
    missed += ours_graph > peer_graph
    missed += ours_cpu > 0.01
    missed += bench_aio.report_idle()
    missed += share > 0.5
    print(f"{missed} target(s) missed")


if __name__ == "__main__":
    main()
