"""The asyncio view against the mixed thread/asyncio queues it replaces.

Peers: culsans.PriorityQueue (threads put through sync_q, coroutines get
through async_q; `pip install '.[bench]'`) and asyncio.PriorityQueue fed from
threads through loop.call_soon_threadsafe. Measured, median over repeats:
- throughput: 2 producer threads put N entries one by one while 4 coroutines
  on one event loop take them (ours: put / AsyncTaskQueue.get);
- wake-up latency: from a thread's put to the return of the coroutine that was
  awaiting get;
- the CPU that a loop with one idle awaiting get uses over a second.

    python bench/bench_aio.py [--n 20000] [--repeats 5]
"""

import argparse
import asyncio
import resource
import statistics
import threading
import time

from vesk_async_task import PyPriorityTaskQueue
from vesk_async_task.aio import AsyncTaskQueue

PRODUCERS, CONSUMERS = 2, 4


class Ours:
    name = "ours"

    def __init__(self):
        self.queue = PyPriorityTaskQueue(0)
        self.view = AsyncTaskQueue(self.queue)

    def put_from_thread(self, priority, task_id):
        self.queue.put(priority, task_id, 0.0)

    async def get(self):
        return await self.view.get()


class Culsans:
    name = "culsans"

    def __init__(self):
        import culsans

        self.queue = culsans.PriorityQueue()

    def put_from_thread(self, priority, task_id):
        self.queue.sync_q.put((priority, 0.0, task_id))

    async def get(self):
        return (await self.queue.async_q.get())[2]


class CallSoonThreadsafe:
    name = "call_soon_threadsafe"  # into an asyncio.PriorityQueue

    def __init__(self):
        self.loop = asyncio.get_running_loop()
        self.queue = asyncio.PriorityQueue()

    def put_from_thread(self, priority, task_id):
        self.loop.call_soon_threadsafe(self.queue.put_nowait, (priority, 0.0, task_id))

    async def get(self):
        return (await self.queue.get())[2]


def culsans_installed():
    try:
        import culsans  # noqa: F401
    except ImportError:
        return False
    return True


def peers():
    return [Culsans, CallSoonThreadsafe] if culsans_installed() else [CallSoonThreadsafe]


async def throughput(kind, n):
    """Seconds for PRODUCERS threads to hand n entries to CONSUMERS coroutines."""
    queue = kind()
    received = []
    done = asyncio.get_running_loop().create_future()

    async def consume():
        while True:
            received.append(await queue.get())
            if len(received) == n and not done.done():
                done.set_result(None)

    def produce(first):
        for i in range(first, n, PRODUCERS):
            queue.put_from_thread(i % 10, f"task-{i}")

    consumers = [asyncio.ensure_future(consume()) for _ in range(CONSUMERS)]
    await asyncio.sleep(0.01)  # every consumer is waiting
    threads = [threading.Thread(target=produce, args=(p,)) for p in range(PRODUCERS)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    await asyncio.wait_for(done, 120)
    elapsed = time.perf_counter() - start
    for thread in threads:
        thread.join(10)
    for consumer in consumers:
        consumer.cancel()
    await asyncio.gather(*consumers, return_exceptions=True)
    return elapsed


async def wake_latency(kind, rounds=300):
    """Median seconds from a thread's put to the return of an awaiting get.

    The producer is one long-lived thread that waits on an Event between puts,
    as a worker of a thread pool would."""
    queue = kind()
    go, sent, stop = threading.Event(), [], False

    def produce():
        for i in range(rounds):
            go.wait()
            go.clear()
            if stop:
                return
            sent.append(time.perf_counter())
            queue.put_from_thread(0, f"t{i}")

    thread = threading.Thread(target=produce)
    thread.start()
    latencies = []
    try:
        for i in range(rounds):
            getter = asyncio.ensure_future(queue.get())
            await asyncio.sleep(0.001)  # the getter is waiting
            go.set()
            await asyncio.wait_for(getter, 10)
            latencies.append(time.perf_counter() - sent[i])
    finally:
        stop = True
        go.set()
        thread.join(10)
    return statistics.median(latencies)


def idle_loop_cpu(seconds=1.0):
    """Share of a core used by an event loop whose one get waits `seconds`."""
    usage = []

    async def wait():
        view = AsyncTaskQueue(PyPriorityTaskQueue(0))
        before = resource.getrusage(resource.RUSAGE_THREAD)
        try:
            await asyncio.wait_for(view.get(), seconds)
        except asyncio.TimeoutError:
            pass
        after = resource.getrusage(resource.RUSAGE_THREAD)
        usage.append((after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime))

    thread = threading.Thread(target=asyncio.run, args=(wait(),))
    thread.start()
    thread.join(seconds + 10)
    return usage[0] / seconds


def interleaved_medians(measure, kinds, repeats, *args):
    """Median of each kind's measure, the kinds taking turns in every repeat."""
    times = {kind: [] for kind in kinds}
    for _ in range(repeats):
        for kind in kinds:
            times[kind].append(asyncio.run(measure(kind, *args)))
    return {kind: statistics.median(values) for kind, values in times.items()}


def rows(n, repeats):
    """(label, ours, peer, target) rows; the throughput target holds against each peer."""
    kinds = [Ours] + peers()
    throughput_of = interleaved_medians(throughput, kinds, repeats, n)
    latency_of = interleaved_medians(wake_latency, kinds, max(1, repeats // 2))
    result = []
    for peer in kinds[1:]:
        result.append((f"aio threads->coroutines throughput vs {peer.name}",
                       throughput_of[Ours], throughput_of[peer], 3.0))
    for peer in kinds[1:]:
        target = 1.0 if peer is CallSoonThreadsafe else None
        result.append((f"aio wake latency put->await get vs {peer.name}",
                       latency_of[Ours], latency_of[peer], target))
    return result


def report_idle():
    """Prints the idle-loop CPU line; returns 1 if its target is missed, else 0."""
    share = idle_loop_cpu()
    missed = share > 0.01
    print(f"CPU of an event loop with one idle awaiting get over 1 s: {share:.2%} of a core "
          f"(target <= 1%)  {'MISSED' if missed else 'ok'}")
    if not culsans_installed():
        print("culsans is not installed (pip install '.[bench]'): its rows are left out")
    return int(missed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"{'comparison':58} {'ours ms':>10} {'peer ms':>10} {'ratio':>7} {'target':>7}")
    for label, ours, peer, target in rows(args.n, args.repeats):
        goal = "-" if target is None else f">= {target:g}"
        print(f"{label:58} {ours * 1e3:10.3f} {peer * 1e3:10.3f} {peer / ours:7.2f} {goal:>7}")
    report_idle()


if __name__ == "__main__":
    main()
