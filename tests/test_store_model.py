"""The status store driven side by side with a pure-Python model."""

import math
import time

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from vesk_async_task import PyShardedTaskStatus

TTL = 100
FIELDS = ("status", "submit_time", "start_time", "end_time", "result", "error", "worker_id")
TEXT_FIELDS = ("status", "error", "worker_id")
TIME_FIELDS = ("submit_time", "start_time", "end_time")

ids = st.sampled_from(["a", "b", "c", "d", "", "é", "task-000000012345"])
statuses = st.sampled_from(["completed", "failed", "running", "Completed", "queued"])
# End times far in the past expire at once; far in the future never within a test.
times = st.sampled_from([0.0, 1.0, -5.0, 1e12, math.inf, 2.5]) | st.none()
loose_values = st.one_of(st.none(), st.integers(-3, 3), st.booleans(), st.text(max_size=3), times, statuses)
status_dicts = st.dictionaries(
    st.sampled_from(FIELDS + ("STATUS", "other")), loose_values, max_size=5
)


def record_from_dict(raw):
    """The record the store keeps for a dict: wrong-typed values leave fields out."""
    record = {}
    for key in FIELDS:
        if key not in raw:
            continue
        value = raw[key]
        if key in TEXT_FIELDS:
            if isinstance(value, str):
                record[key] = value
        elif key in TIME_FIELDS:
            if isinstance(value, (int, float)) and value is not None:
                record[key] = float(value)
        else:
            record[key] = value
    return record


def record_from_arguments(status, submit_time, start_time, end_time, worker_id):
    record = {"status": status}
    for key, value in (("submit_time", submit_time), ("start_time", start_time), ("end_time", end_time)):
        if value is not None:
            record[key] = float(value)
    if worker_id is not None:
        record["worker_id"] = worker_id
    return record


def expired(record, now):
    end = record.get("end_time")
    return record.get("status") in ("completed", "failed") and end is not None and not (end + TTL > now)


class StoreMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.store = PyShardedTaskStatus(3, TTL)
        self.model = {}

    @rule(task_id=ids, raw=status_dicts)
    def update_status(self, task_id, raw):
        self.store.update_status(task_id, raw)
        self.model[task_id] = record_from_dict(raw)

    # A 40-byte worker id makes a record too long to be kept inside its table entry.
    @rule(task_id=ids, status=statuses, submit=times, start=times, end=times,
          worker=st.none() | st.text(max_size=2) | st.just("w" * 40))
    def update_status_fast(self, task_id, status, submit, start, end, worker):
        self.store.update_status_fast(task_id, status, submit, start, end, worker)
        self.model[task_id] = record_from_arguments(status, submit, start, end, worker)

    @rule(items=st.lists(st.tuples(ids, status_dicts | st.text(max_size=2) | st.none()), max_size=4))
    def update_status_batch(self, items):
        written = 0
        for task_id, raw in items:
            if isinstance(raw, dict):
                self.model[task_id] = record_from_dict(raw)
                written += 1
        assert self.store.update_status_batch(items) == written

    @rule(items=st.lists(st.tuples(ids, statuses, times, times, times, st.none() | st.text(max_size=2)), max_size=4))
    def update_status_fast_batch(self, items):
        assert self.store.update_status_fast_batch(items) == len(items)
        for task_id, *fields in items:
            self.model[task_id] = record_from_arguments(*fields)

    @rule(items=st.lists(st.tuples(ids, statuses, times, times, st.just("not a float"), st.none())))
    def update_status_fast_batch_rejected(self, items):
        if items:
            try:
                self.store.update_status_fast_batch(items)
            except TypeError:
                return
            raise AssertionError("a string end_time was accepted")

    @rule(task_id=ids)
    def remove_status(self, task_id):
        assert self.store.remove_status(task_id) is (self.model.pop(task_id, None) is not None)

    @rule(task_ids=st.lists(ids, max_size=5))
    def get_status_batch(self, task_ids):
        assert self.store.get_status_batch(task_ids) == [self.model.get(t) for t in task_ids]

    @rule()
    def clear_all(self):
        self.store.clear_all()
        self.model.clear()

    @rule()
    def cleanup_expired(self):
        now = time.time()
        due = {t for t, record in self.model.items() if expired(record, now)}
        assert self.store.cleanup_expired() == len(due)
        for task_id in due:
            del self.model[task_id]

    @rule(limit=st.integers(0, 3))
    def cleanup_expired_limited(self, limit):
        now = time.time()
        due = {t for t, record in self.model.items() if expired(record, now)}
        removed = self.store.cleanup_expired(limit)
        assert removed == min(limit, len(due))
        gone = {t for t in due if self.store.get_status(t) is None}
        assert len(gone) == removed
        for task_id in gone:
            del self.model[task_id]

    @rule(max_count=st.integers(0, 6))
    def enforce_max_count(self, max_count):
        before = dict(self.model)
        removed = self.store.enforce_max_count(max_count)
        assert removed == max(0, len(before) - max_count)
        gone = {t for t in before if self.store.get_status(t) is None}
        assert len(gone) == removed
        for task_id in gone:
            del self.model[task_id]

    @invariant()
    def contents_agree(self):
        assert self.store.get_total_count() == len(self.model)
        for task_id, record in self.model.items():
            got = self.store.get_status(task_id)
            assert got == record and list(got) == [k for k in FIELDS if k in record]


StoreMachine.TestCase.settings = settings(max_examples=200, stateful_step_count=30, deadline=None)
TestStoreModel = StoreMachine.TestCase
