"""Native core of an asynchronous task framework.

Four thread-safe objects for schedulers, workers and monitoring loops that
share one process: a sharded task status store with time-to-live expiry, a
batched status writer, a task dependency manager and a priority task queue.
"""

from ._core import (
    PrioritizedTask,
    PyBatchedUpdater,
    PyPriorityTaskQueue,
    PyShardedTaskStatus,
    PyTaskDependencyManager,
)
from .records import TaskStatus as TaskStatus

__all__ = [
    "PyShardedTaskStatus",
    "PyPriorityTaskQueue",
    "PyTaskDependencyManager",
    "PrioritizedTask",
    "PyBatchedUpdater",
]

# Imported after _core: on CPython 3.12 a process crashed when a subinterpreter
# had imported importlib.metadata here before _core refused to load in it.
from importlib.metadata import version as _installed_version  # noqa: E402

__version__: str = _installed_version("vesk_async_task")
