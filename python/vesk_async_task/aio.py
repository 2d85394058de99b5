"""An asyncio view of a PyPriorityTaskQueue.

Threads keep using the queue's own methods while coroutines on any number of
event loops, in any threads, await it through ``AsyncTaskQueue``. A loop that
has to wait is woken natively: it registers a descriptor (an eventfd, or a
pipe where there is none) with the queue, and the next ``put`` or
``put_batch`` from any thread writes to it once. Nothing polls and no thread
waits on a loop's behalf.

An entry leaves the queue only inside a coroutine on the loop that returns
it, with no ``await`` between taking and returning it, so a cancelled or
timed-out ``get`` takes nothing.
"""

from __future__ import annotations

import asyncio
import os
import weakref
from collections import deque
from typing import Callable

from ._core import PyPriorityTaskQueue, _register_wakeup, _unregister_wakeup

__all__ = ["AsyncTaskQueue"]


def _open_channel() -> tuple[int, int]:
    """A non-blocking (read end, write end) pair; one descriptor for an eventfd."""
    if hasattr(os, "eventfd"):
        fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        return fd, fd
    read_fd, write_fd = os.pipe()
    os.set_blocking(read_fd, False)
    os.set_blocking(write_fd, False)
    return read_fd, write_fd


def _close_channel(queue: PyPriorityTaskQueue, read_fd: int, write_fd: int, pid: int) -> None:
    if os.getpid() != pid:
        return  # a forked child's copies: the numbers may name the child's own files by now
    # Withdrawn first: once it returns the queue never writes to write_fd, so
    # closing it cannot make a later write land in a file that reuses the number.
    _unregister_wakeup(queue, write_fd)
    os.close(read_fd)
    if write_fd != read_fd:
        os.close(write_fd)


class _Channel:
    """One loop's descriptor for one queue.

    Only the loop's reader holds it, so it is closed as soon as the loop
    closes (dropping its readers) or stops reading it, even while a cancelled
    task's traceback still holds the waiting side. It holds the loop's waker,
    so the waker lives while the loop reads the descriptor.
    """

    def __init__(self, queue: PyPriorityTaskQueue, wake: Callable[[], None]) -> None:
        self.read_fd, self.write_fd = _open_channel()
        self.release = weakref.finalize(
            self, _close_channel, queue, self.read_fd, self.write_fd, os.getpid()
        )
        self._wake = wake

    def on_readable(self) -> None:
        try:
            os.read(self.read_fd, 4096)  # an eventfd resets; a pipe holds a few writes at most
        except (BlockingIOError, InterruptedError):
            pass
        self._wake()


class _LoopWaker:
    """The coroutines of one loop waiting on one queue, woken through a _Channel.

    Used only on the loop's own thread, except close(). Views hold it weakly:
    the loop's reader owns it through the _Channel, so a closed or abandoned
    loop takes its waiters, their tasks and the views they await with it.
    """

    def __init__(self, queue: PyPriorityTaskQueue, loop: asyncio.AbstractEventLoop) -> None:
        self._queue = queue
        self.pid = os.getpid()  # a forked child inherits the loop and descriptor, not their use
        self._waiters: deque[asyncio.Future[None]] = deque()
        channel = _Channel(queue, self.wake_next)
        self._read_fd, self._write_fd = channel.read_fd, channel.write_fd
        self._channel = weakref.ref(channel)
        try:
            loop.add_reader(channel.read_fd, channel.on_readable)
        except BaseException:
            channel.release()
            raise

    def is_open(self) -> bool:
        return self._channel() is not None

    def arm(self) -> None:
        """Asks the queue to signal the next entry added (once)."""
        _register_wakeup(self._queue, self._write_fd)

    async def wait(self) -> None:
        """Returns once woken: an entry may have come. Call arm() first."""
        waiter: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        try:
            await waiter
        except BaseException:
            if not waiter.done() or waiter.cancelled():
                try:  # withdrawn rather than cancelled: that raises once the loop is closed
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
            elif not waiter.get_loop().is_closed():
                self.wake_next()  # woken, then cancelled before it looked: pass the wake-up on
            raise

    def wake_next(self) -> None:
        """Wakes the longest-waiting coroutine, if any."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return

    def close(self, loop: asyncio.AbstractEventLoop) -> None:
        """Stops watching the descriptor and closes it. On the loop's thread,
        or anywhere once the loop has stopped."""
        if not loop.is_closed():
            loop.remove_reader(self._read_fd)
        channel = self._channel()
        if channel is not None:
            channel.release()


_Wakers = weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, weakref.ref[_LoopWaker]]


def _close_wakers(wakers: _Wakers) -> None:
    """Closes a dropped view's descriptors, each on its loop's thread. Those a
    forked child inherited stay as they are: the loops are the parent's."""
    try:
        current: asyncio.AbstractEventLoop | None = asyncio.get_running_loop()
    except RuntimeError:
        current = None
    for loop, waker_ref in list(wakers.items()):
        waker = waker_ref()
        if waker is None or waker.pid != os.getpid():
            continue
        if loop is current or not loop.is_running():
            waker.close(loop)
        else:
            try:
                loop.call_soon_threadsafe(waker.close, loop)
            except RuntimeError:  # closed meanwhile
                waker.close(loop)


class AsyncTaskQueue:
    """An asyncio view of a PyPriorityTaskQueue, following asyncio.Queue.

    Any number of event loops in any threads may await one queue, through
    one view or several, while threads use the queue's own methods. Waiters
    on one loop are woken in arrival order; across loops and threads,
    whoever tries first takes the entry.
    """

    def __init__(self, queue: PyPriorityTaskQueue) -> None:
        self._queue = queue
        self._wakers: _Wakers = weakref.WeakKeyDictionary()
        weakref.finalize(self, _close_wakers, self._wakers)

    @property
    def queue(self) -> PyPriorityTaskQueue:
        """The queue this view awaits."""
        return self._queue

    def qsize(self) -> int:
        """Number of distinct task ids queued."""
        return self._queue.qsize()

    def empty(self) -> bool:
        return self._queue.empty()

    def full(self) -> bool:
        return self._queue.full()

    def put_nowait(self, priority: int, task_id: str, submit_time: float) -> None:
        """Adds an entry; raises asyncio.QueueFull if the queue is at capacity."""
        try:
            self._queue.put(priority, task_id, submit_time, False)
        except Exception as error:
            if type(error) is Exception:  # the queue's own "Queue is full"
                raise asyncio.QueueFull from None
            raise

    async def put(self, priority: int, task_id: str, submit_time: float) -> None:
        """Adds an entry. Like the queue's own blocking put, it never waits: a
        full queue accepts it (put_nowait is the form that enforces capacity)."""
        self._queue.put(priority, task_id, submit_time)

    def get_nowait(self) -> str:
        """Takes the first task id; raises asyncio.QueueEmpty if there is none."""
        taken = self._queue.get_batch(1)
        if not taken:
            raise asyncio.QueueEmpty
        return taken[0]

    async def get(self) -> str:
        """Takes the first task id, waiting for one if needed."""
        taken = self._queue.get_batch(1)
        if not taken:
            taken = await self._take_when_added(1)
        return taken[0]

    async def get_batch(self, max_count: int | None = None) -> list[str]:
        """Waits for at least one entry, then takes up to max_count task ids
        (all there are when None) in precedence order. 0 returns [] at once."""
        taken = self._queue.get_batch(max_count)
        if taken or max_count == 0:
            return taken
        return await self._take_when_added(max_count)

    async def _take_when_added(self, max_count: int | None) -> list[str]:
        waker = self._waker()
        while True:
            waker.arm()
            taken = self._queue.get_batch(max_count)  # catches an entry added before arm()
            if taken:
                return taken
            await waker.wait()
            taken = self._queue.get_batch(max_count)
            if taken:
                # The put that woke us used up the registration; the next waiter
                # looks for further entries and arms again if there are none.
                waker.wake_next()
                return taken

    def _waker(self) -> _LoopWaker:
        loop = asyncio.get_running_loop()
        waker_ref = self._wakers.get(loop)
        waker = waker_ref() if waker_ref is not None else None
        if waker is None or not waker.is_open():
            waker = _LoopWaker(self._queue, loop)
            self._wakers[loop] = weakref.ref(waker)
        return waker
