"""Argument parsing and conversion, checked on real methods and constructors."""

import sys

import pytest

from vesk_async_task import PrioritizedTask, PyBatchedUpdater, PyPriorityTaskQueue, PyShardedTaskStatus


@pytest.fixture
def queue():
    return PyPriorityTaskQueue(0)


def message(exc_type, call):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    return str(info.value)


def test_positional_count_messages(queue):
    assert message(TypeError, lambda: queue.put(1, "a", 0.0, True, None, 7)) == (
        "PyPriorityTaskQueue.put() takes from 3 to 5 positional arguments but 6 were given"
    )
    assert message(TypeError, lambda: queue.remove("a", "b")) == (
        "PyPriorityTaskQueue.remove() takes 1 positional arguments but 2 were given"
    )
    assert message(TypeError, lambda: PyPriorityTaskQueue(1, 2)) == (
        "PyPriorityTaskQueue.__new__() takes 1 positional arguments but 2 were given"
    )
    assert message(TypeError, lambda: PrioritizedTask(1, "a", 0.0, 4)) == (
        "PrioritizedTask.__new__() takes 3 positional arguments but 4 were given"
    )


def test_keyword_messages(queue):
    assert message(TypeError, lambda: queue.remove("a", task_id="b")) == (
        "PyPriorityTaskQueue.remove() got multiple values for argument 'task_id'"
    )
    assert message(TypeError, lambda: queue.remove(id="b")) == (
        "PyPriorityTaskQueue.remove() got an unexpected keyword argument 'id'"
    )
    assert message(TypeError, lambda: queue.put(1, "a", 0.0, timeout=1.0)) == (
        "PyPriorityTaskQueue.put() got an unexpected keyword argument 'timeout'"
    )
    # Keywords are examined in the call's order, before missing arguments.
    assert message(TypeError, lambda: queue.put(bogus=1, task_id="a")) == (
        "PyPriorityTaskQueue.put() got an unexpected keyword argument 'bogus'"
    )
    assert message(TypeError, lambda: PyPriorityTaskQueue(maxsize=1, other=2)) == (
        "PyPriorityTaskQueue.__new__() got an unexpected keyword argument 'other'"
    )


def test_missing_argument_messages(queue):
    assert message(TypeError, lambda: queue.put()) == (
        "PyPriorityTaskQueue.put() missing 3 required positional arguments: "
        "'priority', 'task_id', and 'submit_time'"
    )
    assert message(TypeError, lambda: queue.put(1, submit_time=0.0)) == (
        "PyPriorityTaskQueue.put() missing 1 required positional argument: 'task_id'"
    )
    assert message(TypeError, lambda: PyShardedTaskStatus()) == (
        "PyShardedTaskStatus.__new__() missing 2 required positional arguments: "
        "'shard_count' and 'ttl'"
    )
    assert message(TypeError, lambda: PyBatchedUpdater()) == (
        "PyBatchedUpdater.__new__() missing 1 required positional argument: 'batch_size'"
    )


def test_keywords_fill_parameters(queue):
    queue.put(task_id="k", priority=2, submit_time=1.0, block=False, _timeout=5)
    queue.put(**{"priority": 1, "task_id": "j", "submit_time": 1.0})
    assert queue.get(timeout=None, block=True) == "j"
    assert queue.get(block=False) == "k"
    assert PyPriorityTaskQueue(maxsize=3).full() is False


def test_text_kind(queue):
    assert message(TypeError, lambda: queue.remove(5)) == (
        "argument 'task_id': 'int' object cannot be converted to 'PyString'"
    )
    assert message(TypeError, lambda: queue.remove(None)) == (
        "argument 'task_id': 'NoneType' object cannot be converted to 'PyString'"
    )
    with pytest.raises(UnicodeEncodeError):
        queue.put(1, "\ud800", 0.0)
    assert queue.qsize() == 0

    class Name(str):
        pass

    queue.put(1, Name("sub"), 0.0)
    assert queue.get() == "sub"


def test_float_kind(queue):
    assert message(TypeError, lambda: queue.put(1, "a", "x")).startswith("argument 'submit_time': ")
    with pytest.raises(OverflowError):
        queue.put(1, "a", 10**400)
    queue.put(1, "a", 3)  # an int is accepted as a float
    queue.put(1, "b", True)
    assert queue.get_batch() == ["b", "a"]


def test_count_kind():
    assert message(OverflowError, lambda: PyPriorityTaskQueue(-1)) != ""
    assert message(OverflowError, lambda: PyPriorityTaskQueue(2**64)) != ""
    assert message(TypeError, lambda: PyPriorityTaskQueue(2.5)) == (
        "argument 'maxsize': 'float' object cannot be interpreted as an integer"
    )
    assert PyPriorityTaskQueue(2**64 - 1).full() is False

    class Two:
        def __index__(self):
            return 2

    queue = PyPriorityTaskQueue(Two())
    queue.put(1, "a", 0.0)
    queue.put(1, "b", 0.0)
    assert queue.full()


def test_small_integer_kind(queue):
    assert message(OverflowError, lambda: PrioritizedTask(2**31, "a", 0.0)) == (
        "out of range integral type conversion attempted"
    )
    assert message(OverflowError, lambda: PrioritizedTask(-(2**31) - 1, "a", 0.0)) == (
        "out of range integral type conversion attempted"
    )
    # Beyond 64 bits the interpreter's own overflow error passes through.
    assert "out of range integral" not in message(OverflowError, lambda: queue.put(2**70, "a", 0.0))
    assert message(TypeError, lambda: PrioritizedTask(1.5, "a", 0.0)).startswith("argument 'priority': ")
    PrioritizedTask(-(2**31), "a", 0.0)
    PrioritizedTask(2**31 - 1, "", float("nan"))


def test_flag_kind(queue):
    for bad in (1, 0, None, "yes"):
        text = message(TypeError, lambda: queue.get(block=bad))
        assert text == f"argument 'block': '{type(bad).__qualname__}' object cannot be converted to 'PyBool'"
    queue.put(1, "a", 0.0)
    assert queue.get(False) == "a"


def test_flag_accepts_numpy_booleans(queue):
    numpy = pytest.importorskip("numpy")
    queue.put(1, "a", 0.0)
    assert queue.get(block=numpy.bool_(False)) == "a"
    with pytest.raises(Exception, match="Queue is empty"):
        queue.get(block=numpy.bool_(False))
    assert message(TypeError, lambda: queue.get(block=numpy.int64(1))).endswith("to 'PyBool'")


def test_list_and_tuple_kinds(queue):
    assert message(TypeError, lambda: queue.put_batch("abc")) == (
        "argument 'items': Can't extract `str` to `Vec`"
    )
    assert message(TypeError, lambda: queue.put_batch({1: 2})) == (
        "argument 'items': 'dict' object cannot be converted to 'Sequence'"
    )
    assert message(TypeError, lambda: queue.put_batch([[1, "a", 0.0]])) == (
        "argument 'items': 'list' object cannot be converted to 'PyTuple'"
    )
    assert message(ValueError, lambda: queue.put_batch([(1, "a")])) == (
        "expected tuple of length 3, but got tuple of length 2"
    )
    assert message(TypeError, lambda: queue.put_batch([(1, 2, 0.0)])) == (
        "argument 'items': 'int' object cannot be converted to 'PyString'"
    )
    assert queue.qsize() == 0
    assert queue.put_batch(((1, "a", 0.0),)) == 1  # any sequence but a str
    assert queue.put_batch(range(0)) == 0


def test_optional_parameters_given_none_act_as_omitted(queue):
    queue.put(1, "a", 0.0, True, None)
    assert queue.get(True, None) == "a"
    queue.put_batch([(1, "a", 0.0), (2, "b", 0.0)])
    assert queue.get_batch(None) == ["a", "b"]
    assert message(TypeError, lambda: queue.get(block=None)).endswith("'NoneType' object cannot be converted to 'PyBool'")


def test_type_error_subclass_passes_unprefixed(queue):
    class Odd(TypeError):
        pass

    class Bad:
        def __index__(self):
            raise Odd("custom")

    with pytest.raises(Odd, match="^custom$"):
        PyPriorityTaskQueue(Bad())


def test_iteration_errors_pass_unchanged(queue):
    class Boom(Exception):
        pass

    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                raise Boom("midway")
            return (1, "a", 0.0)

    with pytest.raises(Boom):
        queue.put_batch(Seq())
    assert queue.qsize() == 0


def test_arguments_are_not_leaked(queue):
    task_id = "leak-check-" + "x" * 40
    items = [(1, task_id, 0.0)] * 10
    before = sys.getrefcount(task_id), sys.getrefcount(items)
    for _ in range(1000):
        queue.put_batch(items)
        queue.get_batch()
        queue.put(1, task_id, 0.0)
        queue.get()
        try:
            queue.put_batch(items + [(1, "a")])
        except ValueError:
            pass
    assert (sys.getrefcount(task_id), sys.getrefcount(items)) == before


def test_type_is_not_leaked_by_instances():
    before = sys.getrefcount(PyPriorityTaskQueue)
    for _ in range(1000):
        PyPriorityTaskQueue(1)
        PrioritizedTask(1, "a", 0.0)
    assert sys.getrefcount(PyPriorityTaskQueue) == before


def test_a_lying_len_does_not_size_the_conversion(queue):
    class Liar(list):
        def __len__(self):
            return 2**62

    assert queue.put_batch(Liar([(1, "a", 0.0), (2, "b", 0.0)])) == 2
    assert queue.get_batch() == ["a", "b"]
