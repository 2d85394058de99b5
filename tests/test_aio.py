"""AsyncTaskQueue: native wake-ups, cancellation, several loops, shutdown, descriptors."""

import asyncio
import gc
import os
import random
import selectors
import threading
import time
import weakref

import pytest

from vesk_async_task import PyPriorityTaskQueue
from vesk_async_task.aio import AsyncTaskQueue


class CountingSelector(selectors.DefaultSelector):
    calls = 0

    def select(self, timeout=None):
        self.calls += 1
        return super().select(timeout)


def run_in_thread(target, timeout=20):
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(timeout)
    assert not thread.is_alive(), "still running after the time-out"


def test_a_threads_put_wakes_an_awaiting_get_and_an_idle_loop_stays_asleep():
    selector = CountingSelector()
    loop = asyncio.SelectorEventLoop(selector)
    queue = PyPriorityTaskQueue(1)
    view = AsyncTaskQueue(queue)

    async def main():
        with pytest.raises(asyncio.QueueEmpty):
            view.get_nowait()
        getter = asyncio.ensure_future(view.get())
        await asyncio.sleep(0.05)
        before = selector.calls
        await asyncio.sleep(0.5)
        idle_selects = selector.calls - before
        producer = threading.Thread(target=queue.put, args=(1, "a", 0.0))
        producer.start()
        got = await asyncio.wait_for(getter, 5)
        producer.join(5)
        view.put_nowait(1, "b", 0.0)
        with pytest.raises(asyncio.QueueFull):
            view.put_nowait(1, "c", 0.0)
        return got, idle_selects

    try:
        got, idle_selects = loop.run_until_complete(main())
    finally:
        loop.close()
    assert got == "a"
    assert idle_selects <= 3  # a polling waiter would wake the loop hundreds of times


def test_cancelled_and_timed_out_gets_take_nothing():
    queue = PyPriorityTaskQueue(0)
    view = AsyncTaskQueue(queue)

    async def main():
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(view.get(), 0.05)
        if hasattr(asyncio, "timeout"):
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.05):
                    await view.get_batch(3)
        queue.put(1, "kept", 0.0)
        assert view.get_nowait() == "kept"

        # The first getter takes "a", which wakes the second to look for more; it is
        # cancelled before it looks, so the wake-up must reach the third getter.
        async def first():
            got = await view.get()
            second.cancel()
            return got

        getters = []
        for coroutine in (first(), view.get(), view.get()):
            getters.append(asyncio.ensure_future(coroutine))
            await asyncio.sleep(0.01)
        second = getters[1]
        queue.put_batch([(0, "a", 0.0), (1, "b", 0.0)])
        assert await asyncio.wait_for(getters[0], 5) == "a"
        assert await asyncio.wait_for(getters[2], 5) == "b"
        assert second.cancelled() and view.empty()

    asyncio.run(main())


def test_two_loops_and_a_thread_share_one_queue_and_get_every_entry_once():
    queue = PyPriorityTaskQueue(0)
    view = AsyncTaskQueue(queue)
    total, taken, deadline = 4000, [], time.monotonic() + 15

    def produce(first):
        rng = random.Random(first)
        for i in range(first, first + total // 2, 10):
            if rng.random() < 0.5:
                queue.put_batch([(rng.randint(0, 9), f"t{j}", 0.0) for j in range(i, i + 10)])
            else:
                for j in range(i, i + 10):
                    queue.put(rng.randint(0, 9), f"t{j}", 0.0)
            time.sleep(rng.random() / 1000)

    async def worker(rng):
        while True:
            try:  # random deadlines cancel some waits mid-way
                if rng.random() < 0.5:
                    taken.append(await asyncio.wait_for(view.get(), rng.random() / 100))
                else:
                    taken.extend(await asyncio.wait_for(view.get_batch(3), rng.random() / 100))
            except asyncio.TimeoutError:
                pass

    async def consume(seed):
        rng = random.Random(seed)
        for _ in range(4):
            asyncio.ensure_future(worker(rng))
        while len(taken) < total and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        # Returning leaves the workers waiting: asyncio.run cancels them.

    def consume_in_thread():
        while len(taken) < total and time.monotonic() < deadline:
            try:
                taken.append(queue.get(timeout=0.01))
            except Exception:
                pass

    threads = [threading.Thread(target=asyncio.run, args=(consume(s),)) for s in (1, 2)]
    threads += [threading.Thread(target=consume_in_thread)]
    threads += [threading.Thread(target=produce, args=(f,)) for f in (0, total // 2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.1, deadline - time.monotonic() + 5))
    assert not any(thread.is_alive() for thread in threads)
    assert sorted(taken) == sorted(f"t{j}" for j in range(total))


def test_asyncio_run_exits_promptly_with_getters_waiting():
    view = AsyncTaskQueue(PyPriorityTaskQueue(0))

    async def main():
        for _ in range(3):
            asyncio.ensure_future(view.get())
        await asyncio.sleep(0.01)

    started = time.monotonic()
    run_in_thread(lambda: asyncio.run(main()))
    assert time.monotonic() - started < 5


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_descriptors_are_closed_with_their_loop_or_view():
    queue = PyPriorityTaskQueue(0)
    shared = AsyncTaskQueue(PyPriorityTaskQueue(0))  # one view, awaited on every loop

    def open_descriptors():
        return len(os.listdir("/proc/self/fd"))

    async def with_a_view_of_its_own():
        asyncio.ensure_future(shared.get())  # still waiting when the loop closes
        await asyncio.sleep(0.001)
        before = open_descriptors()
        view = AsyncTaskQueue(queue)
        getter = asyncio.ensure_future(view.get())
        await asyncio.sleep(0.001)
        queue.put(0, "x", 0.0)
        assert await asyncio.wait_for(getter, 5) == "x"
        del view, getter
        assert open_descriptors() == before  # the view was dropped: its descriptor is closed

    gc.collect()  # descriptors of earlier tests' loops and views go first
    before = open_descriptors()
    for _ in range(50):
        asyncio.run(with_a_view_of_its_own())
        assert open_descriptors() == before

    # A dropped view's get left waiting on an abandoned loop, and the shared
    # view's on a closed loop: the collector frees both loops.
    loops = []
    for i in range(200):
        loop = asyncio.new_event_loop()
        loop.create_task((shared if i % 2 else AsyncTaskQueue(queue)).get())
        loop.run_until_complete(asyncio.sleep(0.001))
        if i % 2:
            loop.close()
        loops.append(weakref.ref(loop))
    del loop
    gc.collect()
    assert not any(loop() for loop in loops) and open_descriptors() == before
