"""The dictionary form of a task status record, for type checkers."""

from typing import Any, TypedDict


class TaskStatus(TypedDict, total=False):
    """A status record as PyShardedTaskStatus returns it: only the fields that
    are present, in this order. Written dicts are read leniently: unknown keys
    are ignored and a value of the wrong type leaves its field absent."""

    status: str
    submit_time: float
    start_time: float
    end_time: float
    result: Any
    error: str
    worker_id: str
