"""PyShardedTaskStatus: records, expiry, eviction, batches, references and threads."""

import gc
import math
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from vesk_async_task import PyShardedTaskStatus

MASK = 2**64 - 1


def siphash13(k0, k1, data):
    """Reference SipHash-1-3, to predict store shard indices."""
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & MASK

    def sipround():
        v[0] = (v[0] + v[1]) & MASK; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    full = len(data) // 8 * 8
    for i in range(0, full, 8):
        m = int.from_bytes(data[i:i + 8], "little")
        v[3] ^= m; sipround(); v[0] ^= m
    last = ((len(data) << 56) & MASK) | int.from_bytes(data[full:], "little")
    v[3] ^= last; sipround(); v[0] ^= last
    v[2] ^= 0xFF
    for _ in range(3):
        sipround()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def shard_of(task_id, shard_count):
    return siphash13(0, 0, task_id.encode() + b"\xff") % shard_count


def expired_end():
    return time.time() - 1000.0


@pytest.fixture
def store():
    return PyShardedTaskStatus(16, 60)


# ---- records in and out ------------------------------------------------------


@pytest.mark.parametrize(
    "written, read",
    [
        ({"status": 5, "submit_time": "x"}, {}),
        ({"result": None}, {"result": None}),
        ({"submit_time": 5, "start_time": True}, {"submit_time": 5.0, "start_time": 1.0}),
        ({"Status": "running", "status ": "x", "other": 1}, {}),
        ({"status": None, "error": 3, "worker_id": b"w", "end_time": None}, {}),
        ({"status": "bad\udc80", "error": "ok"}, {"error": "ok"}),
        # Key order on the way out is fixed, whatever the order on the way in.
        (
            {"worker_id": "w", "error": "e", "result": 1, "end_time": 3.0, "start_time": 2.0,
             "submit_time": 1.0, "status": "s"},
            {"status": "s", "submit_time": 1.0, "start_time": 2.0, "end_time": 3.0, "result": 1,
             "error": "e", "worker_id": "w"},
        ),
        ({"status": "Completed", "end_time": -0.0}, {"status": "Completed", "end_time": -0.0}),
        ({"status": "", "error": "", "worker_id": "é\x00ü" * 50}, {"status": "", "error": "", "worker_id": "é\x00ü" * 50}),
        ({"status": "x" * 20000, "end_time": math.inf}, {"status": "x" * 20000, "end_time": math.inf}),
    ],
)
def test_dictionary_round_trip(store, written, read):
    store.update_status("t", written)
    got = store.get_status("t")
    assert got == read and list(got) == list(read)


def test_every_combination_of_fields_reads_back_in_field_order_singly_and_in_batches():
    store = PyShardedTaskStatus(4, 60)
    full = {"status": "s", "submit_time": 1.0, "start_time": 2.0, "end_time": 3.0, "result": [1],
            "error": "e", "worker_id": "w"}
    records = {f"t{bits}": {k: v for i, (k, v) in enumerate(full.items()) if bits >> i & 1} for bits in range(128)}
    for task_id, record in records.items():
        store.update_status(task_id, record)
    ids = [*records, "absent"] * 2
    random.Random(3).shuffle(ids)
    got = store.get_status_batch(ids)
    assert got == [records.get(i) for i in ids] and [list(g or ()) for g in got] == [list(records.get(i, ())) for i in ids]
    assert all(store.get_status(i) == r and list(store.get_status(i)) == list(r) for i, r in records.items())


def test_common_and_uncommon_statuses_read_back_as_written(store):
    # "runxing" shares a lookup slot with "running"; texts of 16 and 17 bytes
    # straddle what a kept prototype dict can hold.
    statuses = ["running", "completed", "failed", "done", "pending", "runnin", "runningg", "Running", "ok",
                "runxing", "", "s" * 16, "s" * 17]
    for status in statuses:
        for worker in ["w", "w\x00", "", "x" * 16, "x" * 17]:
            store.update_status_fast("t", status, 1.0, None, None, worker)
            assert store.get_status("t") == {"status": status, "submit_time": 1.0, "worker_id": worker}
            assert store.get_status_batch(["t"]) == [store.get_status("t")]
    # Blocks of 39 and 40 bytes: the longest kept inside a record, the shortest kept apart.
    for worker in ["w" * 12, "w" * 13]:
        store.update_status_fast("t", "running", 1.0, 2.0, 3.0, worker)
        assert store.get_status("t") == {"status": "running", "submit_time": 1.0, "start_time": 2.0,
                                         "end_time": 3.0, "worker_id": worker}


def test_result_is_the_same_object_and_nan_is_kept(store):
    result = {"rows": [1]}
    store.update_status("t", {"result": result, "end_time": math.nan})
    got = store.get_status("t")
    assert got["result"] is result and math.isnan(got["end_time"])
    result["rows"].append(2)
    assert store.get_status("t")["result"]["rows"] == [1, 2]


def test_dict_subclass_hooks_are_not_consulted(store):
    class Sneaky(dict):
        def __getitem__(self, key):
            return "hooked"

        def __missing__(self, key):
            return "missing"

    store.update_status("t", Sneaky(error="e"))
    assert store.get_status("t") == {"error": "e"}


def test_raising_lookup_fails_and_stores_nothing(store):
    class Clash:
        def __hash__(self):
            return hash("status")

        def __eq__(self, other):
            raise KeyError("boom")

    store.update_status("t", {"status": "old"})
    with pytest.raises(KeyError, match="boom"):
        store.update_status("t", {Clash(): 1, "status": "new"})
    with pytest.raises(KeyError, match="boom"):
        store.update_status_batch([("u", {"status": "u"}), ("t", {Clash(): 1})])
    assert store.get_status("t") == {"status": "old"} and store.get_status("u") is None


# ---- single records and the constructor -----------------------------------------


def test_writes_replace_whole_records_and_remove(store):
    assert store.get_status("t") is None
    store.update_status_fast("t", "running", submit_time=1.0, worker_id="w")
    store.update_status_fast("t", "completed", end_time=2.0)
    assert store.get_status("t") == {"status": "completed", "end_time": 2.0}
    store.update_status("t", {})
    assert store.get_status("t") == {}
    assert store.remove_status("t") is True and store.remove_status("t") is False
    assert store.get_status("t") is None and store.get_total_count() == 0


def test_whole_store_methods(store):
    for i in range(100):
        store.update_status_fast(f"t{i % 40}", "running")
    assert store.get_total_count() == 40
    assert store.resize_shards(8) is False and store.get_shard_count() == 16
    with pytest.raises(OverflowError):
        store.resize_shards(-1)
    store.update_status_fast("done", "completed", None, None, expired_end())
    store.clear_all()
    assert store.get_total_count() == 0 and store.cleanup_expired() == 0


def test_constructor_limits(capfd):
    with pytest.raises(ValueError, match="^shard_count must be at least 1$"):
        PyShardedTaskStatus(0, 60)
    with pytest.raises(TypeError, match="argument 'ttl'"):
        PyShardedTaskStatus(4, 1.5)
    with pytest.raises(OverflowError):
        PyShardedTaskStatus(-1, 60)
    for huge in (2**40, 2**57 - 1, 2**60 - 1):
        with pytest.raises(MemoryError):
            PyShardedTaskStatus(huge, 60)
    with pytest.raises(BaseException, match="^capacity overflow$") as info:
        PyShardedTaskStatus(2**60, 60)
    assert type(info.value).__name__ == "PanicException"
    # The report names the source relative to src/, not the build machine's path.
    assert "(status/sharded.cpp:" in capfd.readouterr().err
    assert PyShardedTaskStatus(1, 0).get_shard_count() == 1


def test_argument_errors_name_the_method_and_parameter():
    store = PyShardedTaskStatus(2, 1)
    with pytest.raises(TypeError, match=r"update_status_fast\(\) takes from 2 to 6 positional arguments but 7"):
        store.update_status_fast("t", "s", 1.0, 2.0, 3.0, "w", 7)
    with pytest.raises(TypeError, match=r"^argument 'max_count': "):
        store.enforce_max_count(2.5)


def test_shard_index_known_answers_and_eviction_order():
    assert [shard_of(t, 16) for t in ("abc", "task-1", "task-000000012345")] == [13, 3, 7]
    # With equal age keys, enforce_max_count empties the lowest store shards first.
    ids = [f"id-{random.random()}" for _ in range(200)]
    for upto in (0, 3, 9):
        store = PyShardedTaskStatus(16, 60)
        for task_id in ids:
            store.update_status(task_id, {})
        low = [t for t in ids if shard_of(t, 16) <= upto]
        assert store.enforce_max_count(len(ids) - len(low)) == len(low)
        assert [t for t in ids if store.get_status(t) is None] == low


# ---- expiry and eviction ----------------------------------------------------------


@pytest.mark.parametrize(
    "status, end_time, expires",
    [
        ("completed", -1000.0, True),
        ("failed", -1000.0, True),
        ("completed", math.nan, True),  # not later than now: it counts as passed
        ("completed", None, False),
        ("Completed", -1000.0, False),
        ("running", -1000.0, False),
        ("completed", 1000.0, False),
        ("completed", -math.inf, True),
    ],
)
def test_expiry_rule(status, end_time, expires):
    for write in ("fast", "dict", "fast_batch", "dict_batch"):
        store = PyShardedTaskStatus(4, 10)
        end = None if end_time is None else time.time() + end_time
        if write == "fast":
            store.update_status_fast("t", status, end_time=end)
        elif write == "fast_batch":
            store.update_status_fast_batch([("t", status, None, None, end, None)])
        else:
            record = {"status": status} if end is None else {"status": status, "end_time": end}
            store.update_status("t", record) if write == "dict" else store.update_status_batch([("t", record)])
        assert store.cleanup_expired() == int(expires), write
        assert (store.get_status("t") is None) == expires


def test_unlimited_cleanup_of_mostly_due_entries_spares_live_records():
    store = PyShardedTaskStatus(1, 10)
    for i in range(6):
        store.update_status_fast(f"t{i}", "completed", end_time=expired_end())
    store.update_status_fast("t0", "running")  # its entry is now stale
    store.update_status_fast("t1", "completed", end_time=time.time())  # its own ttl not passed
    store.remove_status("t2")
    assert store.cleanup_expired() == 3 and store.get_total_count() == 2
    assert store.cleanup_expired() == 0 and store.get_status("t1")["status"] == "completed"


def test_stale_entries_never_remove_live_records_and_do_not_count():
    store = PyShardedTaskStatus(1, 10)
    old = expired_end()
    for i in range(6):
        store.update_status_fast(f"t{i}", "completed", end_time=old + i)
    store.remove_status("t0")
    store.update_status_fast("t0", "running")  # re-run under the same id
    store.update_status_fast("t1", "completed", end_time=time.time())  # rewritten, its own ttl not passed
    store.remove_status("t2")  # entry left stale
    assert store.cleanup_expired(0) == 0
    assert store.cleanup_expired(1) == 1  # t0, t1, t2 entries pop uncounted; t3 goes
    assert [store.get_status(f"t{i}") is not None for i in range(6)] == [True, True, False, False, True, True]
    assert store.cleanup_expired() == 2 and store.get_total_count() == 2
    assert store.cleanup_expired() == 0


def test_batches_apply_in_order_and_each_final_element_schedules():
    store = PyShardedTaskStatus(2, 10)
    end = expired_end()
    assert store.update_status_fast_batch([("t", "failed", None, None, end, None), ("t", "completed", 1.0, None, end, "w")]) == 2
    assert store.get_status("t") == {"status": "completed", "submit_time": 1.0, "end_time": end, "worker_id": "w"}
    assert store.get_total_count() == 1 and store.cleanup_expired() == 1 and store.cleanup_expired() == 0


def test_enforce_max_count_removes_oldest_by_age_key():
    store = PyShardedTaskStatus(1, 60)
    store.update_status("a", {"end_time": 5.0, "submit_time": 0.5})
    store.update_status("b", {"start_time": 3.0})
    store.update_status("c", {"submit_time": 4.0})
    store.update_status("d", {"status": "running"})  # no time: age 0.0
    store.update_status("e", {"end_time": 1.0, "start_time": 9.0})
    assert store.enforce_max_count(5) == 0 and store.enforce_max_count(9) == 0
    assert store.enforce_max_count(3) == 2
    assert sorted(t for t in "abcde" if store.get_status(t)) == ["a", "b", "c"]
    assert store.enforce_max_count(1) == 2 and store.get_status("a") is not None
    assert store.enforce_max_count(0) == 1 and store.get_total_count() == 0
    # A NaN age key counts as newer than every number.
    for i in range(50):
        store.update_status(f"n{i}", {"end_time": math.nan if i % 3 else float(i)})
    assert store.enforce_max_count(20) == 30 and store.get_total_count() == 20
    assert all(math.isnan(store.get_status(f"n{i}")["end_time"]) for i in range(50) if store.get_status(f"n{i}"))


# ---- batches -----------------------------------------------------------------------


def test_batch_edges(store):
    assert store.get_status_batch([]) == [] and store.update_status_batch([]) == 0
    assert store.update_status_fast_batch([]) == 0
    assert store.update_status_batch([("a", {"status": "s"}), ("b", "str"), ("c", None), ("d", {"status": 5})]) == 2
    got = store.get_status_batch(("a", "b", "a", "d"))
    assert got == [{"status": "s"}, None, {"status": "s"}, {}] and got[0] is not got[2]
    with pytest.raises(TypeError, match="^argument 'task_ids': Can't extract `str` to `Vec`$"):
        store.get_status_batch("ab")
    bad_items = [
        [("x", "s", None, None, None, None), ("y", "s", None, None, "late", None)],
        [("x", "s", None, None, None, None), ("y", "s", None, None)],
    ]
    for items in bad_items:
        with pytest.raises((TypeError, ValueError)):
            store.update_status_fast_batch(items)
    assert store.get_status("x") is None and store.get_total_count() == 2


# ---- references ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "drop",
    [
        lambda s: s.update_status_fast("t", "running"),
        lambda s: s.update_status("t", {"status": "new"}),
        lambda s: s.update_status_fast_batch([("t", "x", None, None, None, None)] * 70),
        lambda s: s.update_status_batch([("t", {})]),
        lambda s: s.remove_status("t"),
        lambda s: s.clear_all(),
        lambda s: s.cleanup_expired(),
        lambda s: s.enforce_max_count(0),
    ],
)
def test_result_references_are_released(drop):
    result = object()
    base = sys.getrefcount(result)
    store = PyShardedTaskStatus(4, 10)
    store.update_status("t", {"status": "completed", "end_time": expired_end(), "result": result})
    store.get_status("t")
    store.get_status_batch(["t", "t"])
    assert sys.getrefcount(result) == base + 1
    drop(store)
    store.get_shard_count()  # entering the module again releases deferred references
    assert sys.getrefcount(result) == base
    store.update_status("u", {"result": result})
    del store
    assert sys.getrefcount(result) == base


REENTRANT = textwrap.dedent(
    """
    from vesk_async_task import PyBatchedUpdater, PyShardedTaskStatus
    store = PyShardedTaskStatus(1, 0)  # one shard: callbacks meet the same locks
    calls = []

    class CallsBack:
        def __del__(self):
            store.get_status("a"); store.update_status_fast("other", "running")
            store.update_status("x", {"status": "completed", "end_time": 0.0})
            store.get_status_batch(["a", "x"]); store.remove_status("x")
            store.cleanup_expired(); store.enforce_max_count(10**6); store.get_total_count()
            calls.append(1)

    def put(task_id):
        store.update_status(task_id, {"status": "completed", "end_time": 0.0, "result": CallsBack()})

    put("a"); store.update_status_fast("a", "running")
    put("b"); store.update_status("b", {})
    put("c"); store.update_status_fast_batch([("c", "s", None, None, None, None)])
    put("d"); store.update_status_batch([("d", {})] * 100)
    put("e"); store.remove_status("e")
    put("f"); store.clear_all()
    put("g"); store.cleanup_expired()
    put("h"); store.enforce_max_count(0)
    other = PyShardedTaskStatus(2, 0)
    other.update_status("i", {"result": CallsBack()}); del other
    updater = PyBatchedUpdater(0)
    updater.update_batch([("u", {"result": CallsBack()})]); updater.update_batch([("u", {})])
    store.get_shard_count()
    print(len(calls))
    """
)


def test_finalizer_calling_back_into_the_store_never_deadlocks():
    run = subprocess.run([sys.executable, "-c", REENTRANT], capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["10"], run.stderr


# ---- threads -------------------------------------------------------------------------


def join_all(threads, timeout=30):
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread did not finish: deadlock?"


def test_concurrent_writers_and_readers_agree():
    store = PyShardedTaskStatus(8, 60)
    per_writer, errors = 2000, []

    def writer(w):
        ids = [f"w{w}-{i}" for i in range(per_writer)]
        for i, task_id in enumerate(ids):
            if i % 3 == 0:
                store.update_status_fast(task_id, "running", float(i), None, None, f"w{w}")
            elif i % 3 == 1:
                store.update_status(task_id, {"status": "running", "submit_time": float(i), "worker_id": f"w{w}"})
        store.update_status_fast_batch([(t, "running", float(i), None, None, f"w{w}") for i, t in enumerate(ids) if i % 3 == 2])

    def reader():
        for _ in range(4000):
            w, i = random.randrange(4), random.randrange(per_writer)
            got = store.get_status(f"w{w}-{i}")
            if got not in (None, {"status": "running", "submit_time": float(i), "worker_id": f"w{w}"}):
                errors.append(got)

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(4)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    join_all(threads)
    assert errors == [] and store.get_total_count() == 4 * per_writer
    assert store.get_status_batch(["w3-1999", "w0-0"])[0]["worker_id"] == "w3"


def test_no_expired_record_outlives_a_racing_cleanup():
    """Writers of already expired final records race a looping cleanup; once all
    stop, one more cleanup leaves none of them, and no live record is lost."""
    store = PyShardedTaskStatus(2, 1)
    live = [f"live{i}" for i in range(300)]
    stop = threading.Event()

    def final_writer(seed):
        rng, n = random.Random(seed), 0
        while not stop.is_set():
            end = time.time() - 5.0
            # Fresh ids, so every write is the last one for its id. Longer than
            # a short batch: written with the interpreter lock released, so the
            # cleaner really runs alongside.
            batch = [(f"{seed}-{n + k}", rng.choice(["completed", "failed"]), None, None, end, None) for k in range(100)]
            n += 100
            store.update_status_fast_batch(batch)
            store.update_status_fast(f"{seed}-{n}", "completed", end_time=end)
            store.update_status(f"{seed}-{n + 1}", {"status": "failed", "end_time": end})
            n += 2

    def live_writer():
        while not stop.is_set():
            for task_id in live:
                store.update_status_fast(task_id, "running")

    def cleaner():
        while not stop.is_set():
            store.cleanup_expired()

    threads = [threading.Thread(target=final_writer, args=(s,)) for s in range(2)]
    threads += [threading.Thread(target=live_writer), threading.Thread(target=cleaner)]
    for t in threads:
        t.start()
    time.sleep(2.0)
    stop.set()
    join_all(threads)
    store.cleanup_expired()
    assert store.get_total_count() == len(live)
    assert all(store.get_status(t) == {"status": "running"} for t in live)


def test_results_read_while_writers_hold_the_shards_keep_exact_reference_counts():
    # Readers that wait for a shard give up the interpreter lock; taking a
    # reference to a stored result must still happen with it held.
    store, result = PyShardedTaskStatus(1, 60), object()
    base = sys.getrefcount(result)
    ids = [f"r{i}" for i in range(64)]
    store.update_status_batch([(t, {"result": result}) for t in ids])
    stop, errors = time.monotonic() + 2, []

    def writer():
        while time.monotonic() < stop:
            store.update_status_batch([(t, {"result": result}) for t in ids] * 4)

    def reader():
        while time.monotonic() < stop:
            read = store.get_status_batch(ids) + [store.get_status(random.choice(ids))]
            errors.extend(r for r in read if r["result"] is not result)

    threads = [threading.Thread(target=f) for f in (writer, writer, reader, reader)]
    for t in threads:
        t.start()
    join_all(threads)
    store.get_shard_count()
    assert errors == [] and sys.getrefcount(result) == base + len(ids)


def test_dicts_stay_whole_when_a_finalizer_reads_other_records_while_they_are_built():
    store = PyShardedTaskStatus(4, 60)
    others = [f"n{i}" for i in range(600)]
    for i, task_id in enumerate(others):
        store.update_status_fast(task_id, "running", None, None, None, f"wk{i}")
    expected = {"status": "running", "submit_time": 1.0, "worker_id": "X"}
    store.update_status("a", expected)

    renew = [True]

    class Cycle:  # collected while get_status_batch builds dicts; reads 600 others
        def __init__(self):
            self.me = self

        def __del__(self):
            store.get_status_batch(others)
            if renew[0]:
                Cycle()

    Cycle()
    for _ in range(100):
        assert all(r == expected for r in store.get_status_batch(["a"] * 3000))
    renew[0] = False  # ends the chain, which would outlive the test
    gc.collect()


def test_a_read_that_runs_out_of_memory_raises_and_leaks_nothing():
    testcapi = pytest.importorskip("_testcapi")
    store, result, ids = PyShardedTaskStatus(4, 60), object(), [f"t{i}" for i in range(300)]
    for i, task_id in enumerate(ids):
        store.update_status(task_id, {"status": "running", "submit_time": 1.0, "result": result, "worker_id": f"w{i % 3}"})
    expected, refs, raised = store.get_status_batch(ids), sys.getrefcount(result), 0
    for start in range(0, 3000, 11):  # fails the start-th allocation from here on
        testcapi.set_nomemory(start, start + 1)
        try:
            assert [store.get_status("t7")] + store.get_status_batch(ids) == [expected[7]] + expected
        except MemoryError:
            raised += 1
        finally:
            testcapi.remove_mem_hooks()
    assert raised and sys.getrefcount(result) == refs


def test_a_batch_write_becomes_visible_in_input_order():
    store, keys = PyShardedTaskStatus(8, 60), [f"k{i}" for i in range(16)]
    filler = [(f"f{i}", "running", None, None, None, None) for i in range(200)]
    stop, seen_out_of_order = time.monotonic() + 1.5, []

    def writer():
        version = 0.0
        while time.monotonic() < stop:
            version += 1
            store.update_status_fast_batch([(k, "running", version, None, None, None) for k in keys] + filler)

    def reader():
        while time.monotonic() < stop:
            j = random.randrange(1, len(keys))
            later, earlier = store.get_status(keys[j]), store.get_status(keys[j - 1])
            if later and earlier and later["submit_time"] > earlier["submit_time"]:
                seen_out_of_order.append((later, earlier))

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    join_all(threads)
    assert seen_out_of_order == []
