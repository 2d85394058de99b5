"""Native core: four thread-safe objects shared by the threads of one process.

Every class can be used from any number of threads at once. Task ids are
strings compared by exact bytes; times are float seconds chosen by the caller
(expiry compares them with the wall clock, seconds since the Unix epoch).
"""

from typing import Any, Sequence, final

from vesk_async_task.records import TaskStatus

__all__ = [
    "PyShardedTaskStatus",
    "PyPriorityTaskQueue",
    "PyTaskDependencyManager",
    "PrioritizedTask",
    "PyBatchedUpdater",
]

@final
class PyShardedTaskStatus:
    """A store of task status records, one per task id, sharded by task id.

    A record has seven optional fields (see `vesk_async_task.records.TaskStatus`). Every write
    replaces the task's whole record: fields are never merged. A write with
    status exactly "completed" or "failed" and an end_time schedules the record
    to expire at end_time + ttl; `cleanup_expired` removes expired records,
    `enforce_max_count` the oldest ones. Nothing is removed otherwise.
    """

    def __new__(cls, shard_count: int, ttl: int) -> PyShardedTaskStatus:
        """A store of `shard_count` shards (at least 1) whose
        finished records expire `ttl` whole seconds after their end_time."""

    def get_status(self, task_id: str) -> TaskStatus | None:
        """The task's record as a new dict of its present fields, or None if
        the store holds no record for it."""

    def update_status(self, task_id: str, status: dict[str, Any]) -> None:
        """Replaces the task's record with the fields read from `status`.

        Unknown keys are ignored, and a value of the wrong type leaves its field
        absent (status, error, worker_id need str; the times int or float);
        "result" keeps a reference to any object, None included."""

    def update_status_fast(
        self,
        task_id: str,
        status: str,
        submit_time: float | None = None,
        start_time: float | None = None,
        end_time: float | None = None,
        worker_id: str | None = None,
    ) -> None:
        """Replaces the task's record with these fields (None: absent), without
        building a dict; result and error are absent. Arguments are checked
        strictly: a wrong type raises TypeError."""

    def update_status_fast_batch(
        self,
        items: Sequence[tuple[str, str, float | None, float | None, float | None, str | None]],
    ) -> int:
        """`update_status_fast` for each (task_id, status, submit_time,
        start_time, end_time, worker_id), in order; returns the number written.
        One wrongly typed item fails the whole call before anything is written."""

    def remove_status(self, task_id: str) -> bool:
        """Removes the task's record; True if there was one."""

    def cleanup_expired(self, max_cleanup: int | None = None) -> int:
        """Removes the records whose expiry time (end_time + ttl of a
        "completed" or "failed" write) is not later than the wall clock, at
        most `max_cleanup` of them (None: all); returns how many."""

    def get_total_count(self) -> int:
        """The number of records in the store."""

    def clear_all(self) -> None:
        """Removes every record and every scheduled expiry."""

    def get_status_batch(self, task_ids: Sequence[str]) -> list[TaskStatus | None]:
        """`get_status` for each id, in input order."""

    def update_status_batch(self, items: Sequence[tuple[str, Any]]) -> int:
        """`update_status` for each (task_id, status dict), in order; items whose
        second element is not a dict are skipped. Returns the number written."""

    def enforce_max_count(self, max_count: int) -> int:
        """If the store holds more than `max_count` records, removes the excess,
        oldest first (by end_time, else start_time, else submit_time, else 0),
        shard by shard from shard 0; returns how many were removed."""

    def resize_shards(self, _new_shard_count: int) -> bool:
        """Always False: the shard count is fixed; create a new store instead."""

    def get_shard_count(self) -> int:
        """The shard count given to the constructor."""

@final
class PyPriorityTaskQueue:
    """A priority queue of task ids: the smallest priority leaves first, and
    among equal priorities the earliest submit_time.

    `maxsize` counts distinct task ids and binds only `put(block=False)` and
    `put_batch`; a blocking `put` never waits and always adds. The same id may be
    queued several times: `qsize` counts it once, `get` returns every entry.
    """

    def __new__(cls, maxsize: int) -> PyPriorityTaskQueue:
        """A queue for at most `maxsize` distinct task ids (0: no limit)."""

    def put(
        self,
        priority: int,
        task_id: str,
        submit_time: float,
        block: bool = True,
        _timeout: float | None = None,
    ) -> None:
        """Adds an entry. With block=False on a full queue it raises
        Exception("Queue is full") instead; with block=True it never waits
        and adds the entry even beyond `maxsize`. `_timeout` is ignored."""

    def get(self, block: bool = True, timeout: float | None = None) -> str:
        """Takes out the id of the first entry. Without block, or once
        `timeout` seconds have passed, an empty queue raises
        Exception("Queue is empty"); block=True and no timeout waits until an
        entry comes. Waiting releases the interpreter lock. A negative, NaN or
        infinite timeout raises PanicException, a BaseException, not an
        Exception."""

    def remove(self, task_id: str) -> bool:
        """Withdraws every entry of the task id; True if there was one."""

    def qsize(self) -> int:
        """The number of distinct task ids queued."""

    def empty(self) -> bool:
        """True when no task id is queued."""

    def full(self) -> bool:
        """True when `maxsize` is set and that many distinct ids are queued."""

    def clear(self) -> None:
        """Removes every entry."""

    def put_batch(self, items: Sequence[tuple[int, str, float]]) -> int:
        """Adds (priority, task_id, submit_time) entries in order and returns how
        many were added; it stops, without raising, where the queue is full."""

    def get_batch(self, max_count: int | None = None) -> list[str]:
        """Takes out up to `max_count` ids (None: all) in queue order, without
        waiting; an empty queue gives an empty list."""

@final
class PyTaskDependencyManager:
    """Dependencies between tasks and the set of completed tasks.

    A task is ready when every task it depends on has been marked completed;
    a task with no dependencies, known or not, is ready.
    """

    def __new__(cls) -> PyTaskDependencyManager:
        """An empty manager."""

    def add_dependency(self, task_id: str, dep_id: str) -> None:
        """Declares that `task_id` runs after `dep_id`."""

    def is_ready(self, task_id: str) -> bool:
        """True when all of the task's dependencies are completed."""

    def mark_completed(self, task_id: str) -> None:
        """Marks the task completed, for the readiness of its dependents."""

    def has_circular_dependency(self) -> bool:
        """True when the dependencies contain a cycle."""

    def find_cycle(self) -> list[str]:
        """One cycle of dependencies as a path back to its start: each id depends
        on the next and the last is the first again (["a", "a"] for a task that
        depends on itself); [] when there is no cycle."""

    def get_dependencies(self, task_id: str) -> list[str]:
        """The ids `task_id` depends on."""

    def get_dependents(self, task_id: str) -> list[str]:
        """The ids that depend on `task_id`."""

    def remove_dependency(self, task_id: str, dep_id: str) -> bool:
        """Withdraws one dependency; True if it was declared."""

    def add_dependencies_batch(self, deps: Sequence[tuple[str, str]]) -> None:
        """`add_dependency` for each (task_id, dep_id) pair."""

    def get_ready_tasks(self, task_ids: Sequence[str]) -> list[bool]:
        """`is_ready` for each id, in input order."""

    def clear(self) -> None:
        """Forgets every dependency and every completion."""

    def reset_completed(self) -> None:
        """Forgets every completion; the dependencies stay."""

@final
class PrioritizedTask:
    """A queue entry (priority, task_id, submit_time). It exposes no attributes,
    methods or comparisons to Python: the queue keeps its own entries."""

    def __new__(cls, priority: int, task_id: str, submit_time: float) -> PrioritizedTask:
        """Checks and stores the three values; nothing reads them back."""

@final
class PyBatchedUpdater:
    """Writes status records in batches into a store of its own, which no method
    of this class or of PyShardedTaskStatus reads: only the counts tell what
    was written. Use PyShardedTaskStatus's batch methods to keep readable
    records."""

    def __new__(cls, batch_size: int) -> PyBatchedUpdater:
        """`batch_size` is kept but changes nothing."""

    def update_batch(self, items: Sequence[tuple[str, Any]]) -> int:
        """Writes a record for each (task_id, status dict) whose second element
        is a dict (read as `PyShardedTaskStatus.update_status` reads it) and
        returns how many were written; other items are skipped."""

def _register_wakeup(queue: PyPriorityTaskQueue, fd: int) -> None:
    """Private helper of vesk_async_task.aio: `put` writes a byte to `fd`."""

def _unregister_wakeup(queue: PyPriorityTaskQueue, fd: int) -> None:
    """Private helper of vesk_async_task.aio: stops the writes to `fd`."""
