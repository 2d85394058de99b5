"""The dependency manager driven side by side with a dict-of-sets model."""

import graphlib

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from vesk_async_task import PyTaskDependencyManager

ids = st.sampled_from(["a", "b", "c", "d", "e", "", "ü"])
pairs = st.tuples(ids, ids)


class DependencyMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.manager = PyTaskDependencyManager()
        self.dependencies = {}
        self.completed = set()

    def record(self, task_id, dep_id):
        self.dependencies.setdefault(task_id, set()).add(dep_id)

    def dependents(self, dep_id):
        return {t for t, deps in self.dependencies.items() if dep_id in deps}

    def ready(self, task_id):
        return self.dependencies.get(task_id, set()) <= self.completed

    @rule(pair=pairs)
    def add_dependency(self, pair):
        self.manager.add_dependency(*pair)
        self.record(*pair)

    @rule(batch=st.lists(pairs, max_size=5), spoil=st.sampled_from([None, ("x",), ["x", "y"], ("x", 1)]))
    def add_dependencies_batch(self, batch, spoil):
        if spoil is None:
            self.manager.add_dependencies_batch(batch)
            for pair in batch:
                self.record(*pair)
            return
        try:
            self.manager.add_dependencies_batch(batch + [spoil])
        except (TypeError, ValueError):
            return  # nothing recorded, not even the good pairs
        raise AssertionError("a malformed pair was accepted")

    @rule(pair=pairs)
    def remove_dependency(self, pair):
        task_id, dep_id = pair
        deps = self.dependencies.get(task_id, set())
        expected = dep_id in deps
        deps.discard(dep_id)
        if not deps:
            self.dependencies.pop(task_id, None)
        assert self.manager.remove_dependency(task_id, dep_id) is expected

    @rule(task_id=ids)
    def mark_completed(self, task_id):
        self.manager.mark_completed(task_id)
        self.completed.add(task_id)

    @rule()
    def reset_completed(self):
        self.manager.reset_completed()
        self.completed.clear()

    @rule()
    def clear(self):
        self.manager.clear()
        self.dependencies.clear()
        self.completed.clear()

    @rule(task_ids=st.lists(ids, max_size=6))
    def get_ready_tasks(self, task_ids):
        assert self.manager.get_ready_tasks(task_ids) == [self.ready(t) for t in task_ids]

    @rule()
    def has_circular_dependency(self):
        try:
            graphlib.TopologicalSorter(self.dependencies).prepare()
            cyclic = False
        except graphlib.CycleError:
            cyclic = True
        assert self.manager.has_circular_dependency() is cyclic

    @invariant()
    def relations_agree(self):
        for task_id in ["a", "b", "c", "d", "e", "", "ü"]:
            assert set(self.manager.get_dependencies(task_id)) == self.dependencies.get(task_id, set())
            assert set(self.manager.get_dependents(task_id)) == self.dependents(task_id)
            assert len(self.manager.get_dependencies(task_id)) == len(self.dependencies.get(task_id, ()))
            assert self.manager.is_ready(task_id) is self.ready(task_id)


DependencyMachine.TestCase.settings = settings(max_examples=200, stateful_step_count=30, deadline=None)
TestDependencyModel = DependencyMachine.TestCase
