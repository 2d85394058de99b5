"""The queue driven side by side with a pure-Python model of the same rules."""

import math

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from queue_model import QueueModel
from vesk_async_task import PyPriorityTaskQueue

ids = st.sampled_from(["a", "b", "c", "d", "", "é", "long-identifier-0123456789"])
priorities = st.integers(min_value=-3, max_value=3) | st.sampled_from([-(2**31), 2**31 - 1])
times = st.sampled_from([0.0, -0.0, 1.0, 2.5, -7.0, math.inf, math.nan])


class QueueMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.queue = None
        self.model = None

    @precondition(lambda self: self.queue is None)
    @rule(maxsize=st.integers(min_value=0, max_value=4))
    def create(self, maxsize):
        self.queue = PyPriorityTaskQueue(maxsize)
        self.model = QueueModel(maxsize)

    @precondition(lambda self: self.queue is not None)
    @rule(priority=priorities, task_id=ids, submit_time=times, block=st.booleans())
    def put(self, priority, task_id, submit_time, block):
        try:
            self.queue.put(priority, task_id, submit_time, block)
            raised = None
        except Exception as error:
            raised = str(error)
        if not block and self.model.full():
            assert raised == "Queue is full"
        else:
            assert raised is None
            self.model.push((priority, submit_time, task_id))

    @precondition(lambda self: self.queue is not None)
    @rule(items=st.lists(st.tuples(priorities, ids, times), max_size=6))
    def put_batch(self, items):
        expected = 0
        for priority, task_id, submit_time in items:
            if self.model.full():
                break
            self.model.push((priority, submit_time, task_id))
            expected += 1
        assert self.queue.put_batch(items) == expected

    @precondition(lambda self: self.queue is not None)
    @rule(timeout=st.sampled_from([None, 0, 0.0]))
    def get(self, timeout):
        block = timeout is not None
        expected = self.model.pop()
        try:
            got = self.queue.get(block, timeout)
        except Exception as error:
            assert str(error) == "Queue is empty" and expected is None
        else:
            assert got == expected

    @precondition(lambda self: self.queue is not None)
    @rule(max_count=st.none() | st.integers(min_value=0, max_value=5))
    def get_batch(self, max_count):
        expected = []
        while max_count is None or len(expected) < max_count:
            task_id = self.model.pop()
            if task_id is None:
                break
            expected.append(task_id)
        assert self.queue.get_batch(max_count) == expected

    @precondition(lambda self: self.queue is not None)
    @rule(task_id=ids)
    def remove(self, task_id):
        present = task_id in self.model.ids
        if present:
            # The queue pops every entry of the old heap in order and pushes
            # the others into a new heap; the order of ties follows from that.
            old = QueueModel(0)
            old.heap = self.model.heap
            rebuilt = QueueModel(0)
            while old.heap:
                entry = old.heap[0]
                old.pop()
                if entry[2] != task_id:
                    rebuilt.push(entry)
            self.model.heap = rebuilt.heap
            self.model.ids.discard(task_id)
        assert self.queue.remove(task_id) is present

    @precondition(lambda self: self.queue is not None)
    @rule()
    def clear(self):
        self.queue.clear()
        self.model.heap.clear()
        self.model.ids.clear()

    @invariant()
    def sizes_agree(self):
        if self.queue is not None:
            assert self.queue.qsize() == len(self.model.ids)
            assert self.queue.empty() == (not self.model.ids)
            assert self.queue.full() == self.model.full()


QueueMachine.TestCase.settings = settings(max_examples=300, stateful_step_count=40, deadline=None)
TestQueueModel = QueueMachine.TestCase
