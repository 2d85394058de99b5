"""PyBatchedUpdater: counting, skipping, held results and concurrent batches."""

import sys
import threading

import pytest

from vesk_async_task import PyBatchedUpdater


class Clash:
    """A key whose comparison with "status" raises inside the dict lookup."""

    def __hash__(self):
        return hash("status")

    def __eq__(self, other):
        raise RuntimeError("lookup failed")


def test_counts_dict_pairs_and_skips_the_rest():
    updater = PyBatchedUpdater(0)
    assert updater.update_batch([]) == 0
    items = [
        ("a", {"status": "s"}),
        ("b", [1]),
        ("c", None),
        ("d", {}),  # no known key: written with every field absent
        ("a", {"status": "t"}),  # same id again: counts again
        ("e", {Clash(): 1}),  # raising lookup: skipped, error discarded
        ("f", type("Sub", (dict,), {})(status="x")),
    ]
    assert updater.update_batch(items) == 4
    assert updater.update_batch(tuple(items) * 30) == 120  # a long batch, too


def test_constructor_and_conversion_errors():
    assert PyBatchedUpdater(0) is not None
    with pytest.raises(OverflowError):
        PyBatchedUpdater(-1)
    updater = PyBatchedUpdater(10)
    with pytest.raises(ValueError, match="expected tuple of length 2, but got tuple of length 3"):
        updater.update_batch([("a", {}, 1)])
    with pytest.raises(TypeError, match="^argument 'items': 'int' object cannot be converted to 'PyString'$"):
        updater.update_batch([(1, {})])


def test_result_is_held_until_replaced_or_the_updater_dies():
    first, second = object(), object()
    base = sys.getrefcount(first)
    updater = PyBatchedUpdater(0)
    updater.update_batch([("a", {"result": first}), ("b", {"result": second})])
    assert sys.getrefcount(first) == base + 1
    updater.update_batch([("a", {"status": "again"})])
    updater.update_batch([])  # entering again releases deferred references
    assert sys.getrefcount(first) == base and sys.getrefcount(second) == base + 1
    del updater
    assert sys.getrefcount(second) == base


def test_concurrent_batches_keep_one_result_per_id():
    updater = PyBatchedUpdater(0)
    results = [object() for _ in range(50)]
    base = [sys.getrefcount(results[i]) for i in range(len(results))]

    def work():
        for _ in range(20):
            updater.update_batch([(f"id{i}", {"result": r, "status": "s"}) for i, r in enumerate(results)] * 2)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    updater.update_batch([])
    # Indexed on both sides: a loop variable or a zip tuple holds a reference too.
    assert [sys.getrefcount(results[i]) - base[i] for i in range(len(results))] == [1] * len(results)
