"""Where the demo's task bodies run when not on its own threads: a process pool
on this machine, or a Dask cluster through `distributed` (the optional extra
`dask`).

An executor takes one body at a time with `submit` and calls back, on a thread
of its own, with the body's `Outcome`; with `TaskLost` when the body gave none
(its worker died, or it could not be sent); or with `ExecutorLost` when no more
bodies can run (the cluster went away). The scheduler's state never leaves the
scheduler's process: bodies get their arguments and return an `Outcome`.
"""

from __future__ import annotations

import importlib
import logging
import multiprocessing
import os
import signal
import threading
import time
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any, Callable, Protocol

DASK_EXTRA = "pip install 'vesk_async_task[dask]'"
START_TIMEOUT = 60.0  # seconds for a worker process to start
CONNECT_TIMEOUT = 10.0  # seconds to reach a Dask scheduler
CLOSE_TIMEOUT = 10.0  # seconds to close a Dask client or local cluster


@dataclass(frozen=True)
class Outcome:
    """How a body ended, on which worker, and when (seconds since the epoch)."""

    completed: bool
    worker: str | None
    started: float
    ended: float
    result: Any = None


class TaskLost(Exception):
    """The body gave no outcome: its worker died, or it could not be sent."""


class ExecutorLost(Exception):
    """The executor can run no more bodies."""


class ExtraMissing(Exception):
    """The executor needs a package that is not installed."""


Body = Callable[..., Any]
Done = Callable[[Outcome | TaskLost | ExecutorLost], None]


def timed_call(worker: str | None, body: Body, *args: Any) -> Outcome:
    """Runs body(*args); an exception it raises is the task's failure."""
    started = time.time()
    try:
        result = body(*args)
    except Exception:
        return Outcome(False, worker, started, time.time())
    return Outcome(True, worker, started, time.time(), result)


def call_in_process(body: Body, *args: Any) -> Outcome:
    return timed_call(f"process-{os.getpid()}", body, *args)


def call_on_dask_worker(body: Body, *args: Any) -> Outcome:
    worker = importlib.import_module("distributed").get_worker().address
    return timed_call(worker, body, *args)


def ignore_interrupts() -> None:
    """Ctrl-C reaches the whole process group; the scheduler alone decides what stops."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def dask_setup(worker: Any) -> None:
    """Run by each worker of a local Dask cluster as it starts (this module is its preload)."""
    ignore_interrupts()


class Executor(Protocol):
    description: str

    def start(self) -> None:
        """Raises ExecutorLost when no worker can be had."""

    def submit(self, done: Done, body: Body, *args: Any) -> None:
        """Sends body(*args) off; done(outcome) is called once, on another thread.
        Raises ExecutorLost when the body cannot be sent."""

    def shutdown(self, abandon: bool) -> None:
        """Stops the workers; with abandon, without waiting for bodies that run."""


class ProcessExecutor:
    """A concurrent.futures process pool; a pool broken by a dead worker is
    replaced, and the tasks it had in flight are lost."""

    def __init__(self, slots: int) -> None:
        self.slots = slots
        self.description = f"a pool of {slots} worker processes"
        self.pool: ProcessPoolExecutor | None = None

    def _new_pool(self) -> ProcessPoolExecutor:
        # spawn, not fork: a forked child would inherit locks held by the scheduler's threads
        return ProcessPoolExecutor(self.slots, mp_context=multiprocessing.get_context("spawn"),
                                   initializer=ignore_interrupts)

    def start(self) -> None:
        """Starts the workers now, so that their start-up is not taken for the run's."""
        self.pool = self._new_pool()
        for started in [self.pool.submit(os.getpid) for _ in range(self.slots)]:
            try:
                started.result(timeout=START_TIMEOUT)
            except Exception as error:
                raise ExecutorLost(f"the process pool cannot start workers: {error!r}") from None

    def submit(self, done: Done, body: Body, *args: Any) -> None:
        assert self.pool is not None
        try:
            future = self.pool.submit(call_in_process, body, *args)
        except BrokenProcessPool:
            self.pool.shutdown(wait=False)
            self.pool = self._new_pool()
            try:
                future = self.pool.submit(call_in_process, body, *args)
            except BrokenProcessPool as error:
                raise ExecutorLost(f"the process pool cannot start workers: {error}") from None
        future.add_done_callback(lambda finished: done(self._outcome(finished)))

    @staticmethod
    def _outcome(future: Future[Outcome]) -> Outcome | TaskLost | ExecutorLost:
        if future.cancelled():
            return ExecutorLost("the process pool was shut down")
        error = future.exception()
        if error is None:
            return future.result()
        if isinstance(error, BrokenProcessPool):
            return TaskLost("its worker process died")
        return TaskLost(f"{type(error).__name__}: {error}")

    def shutdown(self, abandon: bool) -> None:
        if self.pool is None:
            return
        if abandon:
            # The pool has no public way to stop a body that runs (before Python 3.14).
            processes = getattr(self.pool, "_processes", None) or {}
            for process in list(processes.values()):
                process.terminate()
        self.pool.shutdown(wait=True, cancel_futures=True)


def load_distributed() -> Any:
    try:
        return importlib.import_module("distributed")
    except ImportError as error:
        raise ExtraMissing(f"--executor dask needs the optional extra 'dask' ({DASK_EXTRA}): {error}") from None


class DaskExecutor:
    """Bodies run as Dask tasks: on a cluster that already runs (`address`), or
    on a LocalCluster of `slots` single-threaded worker processes started here."""

    def __init__(self, slots: int, address: str | None) -> None:
        self.distributed = load_distributed()
        self.slots = slots
        self.address = address
        if address is None:
            self.description = f"a local Dask cluster of {slots} workers"
        else:
            self.description = f"{slots} slots of the Dask cluster at {address}"
        self.cluster: Any = None
        self.client: Any = None
        # A future nobody holds is released, and the cluster forgets its task.
        self.futures: set[Any] = set()
        self.futures_lock = threading.Lock()

    def start(self) -> None:
        # This process reports a lost worker or cluster itself, in one line.
        # (distributed's configuration gives some of its loggers levels of their own.)
        for name in ["distributed", *logging.root.manager.loggerDict]:
            if name.split(".")[0] == "distributed":
                logging.getLogger(name).setLevel(logging.CRITICAL)
        try:
            if self.address is None:
                # allowed_failures=0: a task whose worker dies fails rather than runs again
                self.cluster = self.distributed.LocalCluster(
                    n_workers=self.slots, threads_per_worker=1, processes=True,
                    dashboard_address=None, silence_logs=logging.CRITICAL,
                    scheduler_kwargs={"allowed_failures": 0}, preload=[__name__])
                self.client = self.distributed.Client(self.cluster, set_as_default=False)
            else:
                self.client = self.distributed.Client(self.address, timeout=CONNECT_TIMEOUT,
                                                      set_as_default=False)
        except (OSError, TimeoutError) as error:
            where = "start a local Dask cluster" if self.address is None else f"reach the Dask scheduler at {self.address}"
            raise ExecutorLost(f"cannot {where}: {error}") from None

    def submit(self, done: Done, body: Body, *args: Any) -> None:
        future = self.client.submit(call_on_dask_worker, body, *args, pure=False)
        with self.futures_lock:
            self.futures.add(future)
        future.add_done_callback(lambda finished: self._finished(finished, done))

    def _finished(self, future: Any, done: Done) -> None:
        outcome = self._outcome(future)
        with self.futures_lock:
            self.futures.discard(future)
        done(outcome)

    def _outcome(self, future: Any) -> Outcome | TaskLost | ExecutorLost:
        if future.cancelled():  # also what a lost connection to the scheduler does
            return ExecutorLost("the Dask cluster went away")
        try:
            result: Outcome = future.result()
        except self.distributed.KilledWorker:
            return TaskLost("its Dask worker died")
        except Exception as error:
            return TaskLost(f"{type(error).__name__}: {error}")
        return result

    def shutdown(self, abandon: bool) -> None:
        # Closing the client releases its tasks; a local cluster takes its workers down.
        if self.client is not None:
            self.client.close(timeout=CLOSE_TIMEOUT)
        if self.cluster is not None:
            self.cluster.close(timeout=CLOSE_TIMEOUT)
        with self.futures_lock:
            self.futures.clear()
