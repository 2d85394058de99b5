"""PyTaskDependencyManager: declared dependencies, readiness and cycle detection."""

import graphlib
import os
import random
import threading

import pytest

from vesk_async_task import PyTaskDependencyManager


def cyclic(graph):
    """graphlib's verdict on {task: dependencies}: CycleError exactly on a cycle."""
    try:
        graphlib.TopologicalSorter(graph).prepare()
    except graphlib.CycleError:
        return True
    return False


class Model:
    """The manager's rules in plain Python: two dicts of sets and a set."""

    def __init__(self):
        self.dependencies = {}
        self.dependents = {}
        self.completed = set()

    def add(self, task_id, dep_id):
        self.dependencies.setdefault(task_id, set()).add(dep_id)
        self.dependents.setdefault(dep_id, set()).add(task_id)

    def remove(self, task_id, dep_id):
        deps = self.dependencies.get(task_id, set())
        found = dep_id in deps
        if found:
            deps.discard(dep_id)
            self.dependents[dep_id].discard(task_id)
            for table, key in ((self.dependencies, task_id), (self.dependents, dep_id)):
                if not table[key]:
                    del table[key]
        return found

    def is_ready(self, task_id):
        return self.dependencies.get(task_id, set()) <= self.completed

    def clear(self):
        self.__init__()


# ---- declaring, listing and removing ------------------------------------------------


def test_new_manager_knows_nothing():
    m = PyTaskDependencyManager()
    assert m.get_dependencies("a") == [] and m.get_dependents("a") == []
    assert m.remove_dependency("a", "b") is False
    assert m.is_ready("a") is True and m.get_ready_tasks([]) == []
    assert m.has_circular_dependency() is False


def test_pairs_are_mirrored_and_stored_once():
    m = PyTaskDependencyManager()
    m.add_dependency("a", "b")
    m.add_dependency("a", "b")
    assert m.get_dependencies("a") == ["b"] and m.get_dependents("b") == ["a"]
    assert m.get_dependencies("b") == [] and m.get_dependents("a") == []
    m.add_dependency("s", "s")
    assert m.get_dependencies("s") == ["s"] and m.get_dependents("s") == ["s"]
    m.add_dependency("", "")  # the empty id is an id like any other
    assert m.get_dependencies("") == [""]


def test_remove_dependency():
    m = PyTaskDependencyManager()
    m.add_dependency("a", "b")
    m.add_dependency("a", "c")
    assert m.remove_dependency("a", "x") is False
    assert m.remove_dependency("x", "b") is False
    assert sorted(m.get_dependencies("a")) == ["b", "c"]
    assert m.remove_dependency("a", "b") is True
    assert m.remove_dependency("a", "b") is False
    assert m.get_dependencies("a") == ["c"]
    assert m.get_dependents("b") == [] and m.get_dependents("c") == ["a"]
    assert m.remove_dependency("a", "c") is True
    assert m.get_dependencies("a") == [] and m.get_dependents("c") == []
    m.add_dependency("a", "d")  # a task emptied by removal starts afresh
    assert m.get_dependencies("a") == ["d"] and m.is_ready("a") is False


def test_batch_records_every_pair_or_none():
    m = PyTaskDependencyManager()
    m.add_dependencies_batch([])
    m.add_dependencies_batch((("a", "b"), ("a", "c"), ("a", "b")))
    assert sorted(m.get_dependencies("a")) == ["b", "c"]
    assert m.get_dependents("c") == ["a"]

    fresh = PyTaskDependencyManager()
    with pytest.raises(ValueError, match=r"^expected tuple of length 2, but got tuple of length 1$"):
        fresh.add_dependencies_batch([("x", "y"), ("x",)])
    with pytest.raises(TypeError, match=r"^argument 'deps': 'list' object cannot be converted to 'PyTuple'$"):
        fresh.add_dependencies_batch([("x", "y"), ["c", "d"]])
    with pytest.raises(TypeError, match=r"^argument 'deps': 'int' object cannot be converted to 'PyString'$"):
        fresh.add_dependencies_batch([("x", "y"), ("c", 1)])
    with pytest.raises(TypeError, match=r"^argument 'deps': Can't extract `str` to `Vec`$"):
        fresh.add_dependencies_batch("ab")
    assert fresh.get_dependencies("x") == [] and fresh.get_dependents("y") == []


def test_arguments_by_keyword_and_wrong_types():
    m = PyTaskDependencyManager()
    m.add_dependency(dep_id="b", task_id="a")
    m.add_dependencies_batch(deps=[("a", "c")])
    assert sorted(m.get_dependencies(task_id="a")) == ["b", "c"]
    assert m.get_dependents(task_id="b") == ["a"]
    assert m.is_ready(task_id="a") is False
    m.mark_completed(task_id="b")
    assert m.get_ready_tasks(task_ids=["b"]) == [True]
    assert m.remove_dependency(task_id="a", dep_id="b") is True
    with pytest.raises(TypeError, match=r"^argument 'dep_id': 'int' object cannot be converted to 'PyString'$"):
        m.add_dependency("a", 5)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'dep_id'$"):
        m.remove_dependency("a")
    with pytest.raises(TypeError, match=r"^PyTaskDependencyManager.__new__\(\) takes 0 positional"):
        PyTaskDependencyManager(1)
    assert sorted(m.get_dependencies("a")) == ["c"]  # the failed calls changed nothing


# ---- readiness and completion ------------------------------------------------------------


def test_readiness_follows_completions():
    m = PyTaskDependencyManager()
    m.add_dependency("a", "b")
    assert (m.is_ready("a"), m.is_ready("b")) == (False, True)
    m.mark_completed("a")  # completing a task does not satisfy its own dependencies
    assert m.is_ready("a") is False and m.get_dependencies("a") == ["b"]
    m.mark_completed("b")
    assert m.is_ready("a") is True

    for order in (["x", "y", "z"], ["z", "y", "x"]):
        m = PyTaskDependencyManager()
        m.add_dependencies_batch([("t", "x"), ("t", "y"), ("t", "z")])
        for done in order[:-1]:
            m.mark_completed(done)
            assert m.is_ready("t") is False
        m.mark_completed(order[-1])
        assert m.is_ready("t") is True


def test_readiness_edge_cases():
    m = PyTaskDependencyManager()
    m.add_dependency("self", "self")
    assert m.is_ready("self") is False
    m.mark_completed("self")
    assert m.is_ready("self") is True

    m.add_dependency("t", "ghost")  # a prerequisite never declared as a task
    m.add_dependency("ghost", "other")
    assert m.is_ready("t") is False
    m.mark_completed("ghost")
    assert m.is_ready("t") is True

    m.mark_completed("early")  # completed before anybody depends on it
    m.add_dependency("late", "early")
    assert m.is_ready("late") is True

    m.add_dependency("r", "p")
    m.add_dependency("r", "q")
    m.mark_completed("p")
    assert m.is_ready("r") is False
    m.remove_dependency("r", "q")  # dropping the last open prerequisite
    assert m.is_ready("r") is True


def test_reset_and_clear():
    m = PyTaskDependencyManager()
    m.add_dependency("a", "b")
    m.mark_completed("b")
    m.mark_completed("c")
    m.reset_completed()
    assert m.is_ready("a") is False and m.is_ready("b") is True
    assert m.get_dependencies("a") == ["b"] and m.get_dependents("b") == ["a"]

    m.mark_completed("b")
    m.add_dependency("c", "c")
    m.clear()
    assert m.get_dependencies("a") == [] and m.get_dependents("b") == []
    assert m.has_circular_dependency() is False
    m.add_dependency("a", "b")
    assert m.is_ready("a") is False  # clear forgot the completion of "b" too


def test_get_ready_tasks():
    m = PyTaskDependencyManager()
    m.add_dependency("a", "b")
    assert m.get_ready_tasks(["a", "b", "a", "zz"]) == [False, True, False, True]
    assert m.get_ready_tasks(("b",)) == [True]
    with pytest.raises(TypeError, match=r"^argument 'task_ids': Can't extract `str` to `Vec`$"):
        m.get_ready_tasks("ab")
    with pytest.raises(TypeError, match=r"^argument 'task_ids': 'int' object cannot be converted to 'PyString'$"):
        m.get_ready_tasks(["a", 1])


# ---- cycles ------------------------------------------------------------------------------------


def assert_real_cycle(m, cycle):
    """A simple cycle that returns to its start, each id depending on the next."""
    assert len(cycle) >= 2 and cycle[0] == cycle[-1] and len(set(cycle)) == len(cycle) - 1, cycle
    for task_id, dep_id in zip(cycle, cycle[1:]):
        assert dep_id in m.get_dependencies(task_id), cycle


@pytest.mark.parametrize(
    "pairs, expected",
    [
        ([("a", "a")], True),
        ([("a", "b"), ("b", "a")], True),
        ([("a", "b"), ("b", "c"), ("c", "a")], True),
        ([("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")], False),  # diamond
        ([("x", "y"), ("a", "b"), ("b", "a"), ("p", "q"), ("q", "r")], True),
        ([("a", "b"), ("b", "c"), ("c", "d"), ("d", "b"), ("d", "e")], True),  # mid-chain
    ],
)
def test_cycle_examples(pairs, expected):
    m = PyTaskDependencyManager()
    m.add_dependencies_batch(pairs)
    assert m.has_circular_dependency() is expected
    cycle = m.find_cycle()
    if expected:
        assert_real_cycle(m, cycle)
    else:
        assert cycle == []
    for task_id, dep_id in pairs:
        m.mark_completed(task_id)
        m.mark_completed(dep_id)
    assert m.has_circular_dependency() is expected  # completion breaks no cycle
    m.reset_completed()
    assert m.has_circular_dependency() is expected


def test_removing_a_pair_breaks_the_cycle():
    m = PyTaskDependencyManager()
    m.add_dependency("a", "b")
    m.add_dependency("b", "a")
    assert m.remove_dependency("b", "a") is True
    assert m.has_circular_dependency() is False


def test_cycle_check_agrees_with_graphlib_on_random_graphs():
    rng = random.Random(4711)
    verdicts = {True: 0, False: 0}
    for _ in range(1500):
        nodes = [f"n{i}" for i in range(rng.randint(1, 14))]
        self_loops = rng.random() < 0.3
        graph = {}
        pairs = []
        for _ in range(rng.randint(0, 2 * len(nodes))):
            task_id, dep_id = rng.choice(nodes), rng.choice(nodes)
            if task_id == dep_id and not self_loops:
                continue
            pairs.append((task_id, dep_id))
            graph.setdefault(task_id, set()).add(dep_id)
        m = PyTaskDependencyManager()
        m.add_dependencies_batch(pairs)
        expected = cyclic(graph)
        verdicts[expected] += 1
        assert m.has_circular_dependency() is expected, graph
        cycle = m.find_cycle()
        assert bool(cycle) is expected, graph
        if cycle:
            assert_real_cycle(m, cycle)
    assert min(verdicts.values()) > 200  # both answers were exercised


# About 3 s and 1 GB at full length; slow instrumented builds may set less.
CHAIN_LENGTH = int(os.environ.get("VESK_CHAIN_LENGTH", 1_000_000))


def test_long_chain_both_ways():
    ids = [f"t{i}" for i in range(CHAIN_LENGTH)]
    m = PyTaskDependencyManager()
    m.add_dependencies_batch(list(zip(ids[1:], ids[:-1])))
    assert m.has_circular_dependency() is False and m.find_cycle() == []
    m.add_dependency(ids[0], ids[-1])
    assert m.has_circular_dependency() is True
    cycle = m.find_cycle()  # the whole chain, from wherever the search entered it
    assert len(cycle) == CHAIN_LENGTH + 1 and cycle[0] == cycle[-1] and set(cycle) == set(ids)


# ---- against the model -----------------------------------------------------------------------------


IDS = ["a", "b", "c", "d", "e", "", "é", "long-identifier-" + "x" * 30]


def random_operation(rng, m, model):
    """Applies one random operation to both and checks that they answer alike."""
    op = rng.choices(
        ["add", "batch", "remove", "mark", "reset", "clear", "deps", "dependents", "ready",
         "ready_list", "cycle"],
        weights=[20, 6, 12, 8, 1, 1, 6, 6, 6, 4, 4],
    )[0]
    pick = lambda: rng.choice(IDS)  # noqa: E731
    if op == "add":
        task_id, dep_id = pick(), pick()
        assert m.add_dependency(task_id, dep_id) is None
        model.add(task_id, dep_id)
    elif op == "batch":
        pairs = [(pick(), pick()) for _ in range(rng.randint(0, 5))]
        assert m.add_dependencies_batch(pairs) is None
        for pair in pairs:
            model.add(*pair)
    elif op == "remove":
        task_id, dep_id = pick(), pick()
        assert m.remove_dependency(task_id, dep_id) is model.remove(task_id, dep_id)
    elif op == "mark":
        task_id = pick()
        m.mark_completed(task_id)
        model.completed.add(task_id)
    elif op == "reset":
        m.reset_completed()
        model.completed.clear()
    elif op == "clear":
        m.clear()
        model.clear()
    elif op == "deps":
        task_id = pick()
        assert sorted(m.get_dependencies(task_id)) == sorted(model.dependencies.get(task_id, ()))
    elif op == "dependents":
        task_id = pick()
        assert sorted(m.get_dependents(task_id)) == sorted(model.dependents.get(task_id, ()))
    elif op == "ready":
        task_id = pick()
        assert m.is_ready(task_id) is model.is_ready(task_id)
    elif op == "ready_list":
        task_ids = [pick() for _ in range(rng.randint(0, 6))]
        assert m.get_ready_tasks(task_ids) == [model.is_ready(t) for t in task_ids]
    else:
        assert m.has_circular_dependency() is cyclic(model.dependencies)


def assert_same_state(m, model):
    for task_id in IDS:
        assert sorted(m.get_dependencies(task_id)) == sorted(model.dependencies.get(task_id, ()))
        assert sorted(m.get_dependents(task_id)) == sorted(model.dependents.get(task_id, ()))
    assert m.get_ready_tasks(IDS) == [model.is_ready(t) for t in IDS]


def test_random_operations_match_the_model():
    rng = random.Random(99)
    for _ in range(60):
        m, model = PyTaskDependencyManager(), Model()
        for _ in range(150):
            random_operation(rng, m, model)
        assert_same_state(m, model)


# ---- threads ---------------------------------------------------------------------------------------


def test_threads_adding_and_removing_disjoint_pairs():
    """Each thread churns pairs of its own ids; shared ids are only read."""
    m = PyTaskDependencyManager()
    threads_count, rounds = 4, 3000
    finals = [None] * threads_count
    errors = []

    def worker(n):
        try:
            rng = random.Random(n)
            mine = [f"w{n}-{i}" for i in range(12)]
            live = set()
            for _ in range(rounds):
                task_id, dep_id = rng.choice(mine), rng.choice(mine + ["shared"])
                if rng.random() < 0.6:
                    m.add_dependency(task_id, dep_id)
                    live.add((task_id, dep_id))
                else:
                    assert m.remove_dependency(task_id, dep_id) is ((task_id, dep_id) in live)
                    live.discard((task_id, dep_id))
                m.is_ready(rng.choice(mine))
                m.get_dependents("shared")
                if rng.random() < 0.05:
                    m.has_circular_dependency()
            finals[n] = live
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads), "a worker hung"
    assert not errors, errors

    expected = Model()
    for live in finals:
        for pair in live:
            expected.add(*pair)
    ids = {task_id for live in finals for pair in live for task_id in pair} | {"shared"}
    for task_id in ids:  # both directions agree with what the threads left behind
        assert sorted(m.get_dependencies(task_id)) == sorted(expected.dependencies.get(task_id, ()))
        assert sorted(m.get_dependents(task_id)) == sorted(expected.dependents.get(task_id, ()))


def test_get_ready_tasks_over_many_chunks_matches_is_ready():
    # Thousands of ids: several chunks, every shard, ids of many lengths
    # (empty, short, past the inline compare), absent ids and repeats.
    rng = random.Random(11)
    ids = [""] + [f"t{i}" + "x" * (i % 25) for i in range(3000)]
    m = PyTaskDependencyManager()
    m.add_dependencies_batch([(rng.choice(ids), rng.choice(ids)) for _ in range(6000)])
    for task_id in rng.sample(ids, len(ids) * 2 // 3):
        m.mark_completed(task_id)
    asked = ids + [f"absent-{i}" for i in range(500)] + rng.choices(ids, k=2000)
    rng.shuffle(asked)
    answers = m.get_ready_tasks(asked)
    assert answers == [m.is_ready(task_id) for task_id in asked]
    assert any(answers) and not all(answers)
