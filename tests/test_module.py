"""Module initialisation and class registration."""

import importlib.util
import inspect
import subprocess
import sys

import pytest

import vesk_async_task
from vesk_async_task import _core

CLASSES = [
    "PyShardedTaskStatus",
    "PyPriorityTaskQueue",
    "PyTaskDependencyManager",
    "PrioritizedTask",
    "PyBatchedUpdater",
]


def test_all_lists_the_classes_in_registration_order():
    assert _core.__all__ == CLASSES
    assert _core.__doc__ == "VeskAsyncTask Core Python 模块"
    for name in CLASSES:
        assert getattr(_core, name) is getattr(vesk_async_task, name)


def test_second_initialisation_returns_the_cached_module():
    spec = importlib.util.find_spec("vesk_async_task._core")
    again = spec.loader.create_module(spec)
    assert again is _core
    assert _core.__all__ == CLASSES


def test_extension_is_a_stable_abi_build():
    assert _core.__file__.endswith(".abi3.so")


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (getattr(_core, name),), {})


def test_instances_take_no_new_attributes():
    queue = _core.PyPriorityTaskQueue(0)
    with pytest.raises(AttributeError):
        queue.anything = 1
    with pytest.raises(AttributeError):
        _core.PrioritizedTask(1, "a", 0.0).priority


def test_text_signatures_and_docstrings():
    assert _core.PyShardedTaskStatus.__text_signature__ == "(shard_count, ttl)"
    assert _core.PyTaskDependencyManager.__text_signature__ == "()"
    assert _core.PyShardedTaskStatus.__doc__ == (
        "分片任务状态存储\n\n使用 ShardTable 实现无锁并发分片存储，支持高并发读写。"
    )
    assert _core.PyTaskDependencyManager.__doc__ == "任务依赖管理器\n\n管理任务之间的依赖关系，支持循环检测。"
    assert _core.PyPriorityTaskQueue.put.__text_signature__ == (
        "($self, priority, task_id, submit_time, block=True, _timeout=None)"
    )
    assert list(inspect.signature(_core.PyPriorityTaskQueue(0).get).parameters) == ["block", "timeout"]
    assert _core.PyPriorityTaskQueue.qsize.__doc__ == "获取队列大小"


def test_method_tables_in_registration_order():
    queue_methods = [m for m in vars(_core.PyPriorityTaskQueue) if not m.startswith("__")]
    assert queue_methods == [
        "put", "get", "remove", "qsize", "empty", "full", "clear", "put_batch", "get_batch",
    ]
    assert [m for m in vars(_core.PrioritizedTask) if not m.startswith("__")] == []


def test_types_are_module_qualified_and_import_cleanly_under_strict_warnings():
    for name in CLASSES:
        cls = getattr(_core, name)
        assert cls.__module__ == "vesk_async_task._core"
        assert cls.__name__ == cls.__qualname__ == name
    script = "import pydoc, vesk_async_task as v; print(pydoc.render_doc(v.PyPriorityTaskQueue, renderer=pydoc.plaintext))"
    run = subprocess.run([sys.executable, "-W", "error", "-c", script],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert "get_batch(self, /, max_count=None)" in run.stdout


def test_panic_exception_is_a_base_exception_outside_the_namespace():
    queue = _core.PyPriorityTaskQueue(0)
    with pytest.raises(BaseException) as info:
        queue.get(timeout=-1.0)
    panic = type(info.value)
    assert not issubclass(panic, Exception)
    assert panic.__module__ == "ext_runtime" and panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert "when Velm code called from Python panics" in panic.__doc__
    assert not hasattr(_core, "PanicException")
    with pytest.raises(BaseException) as again:
        queue.get(timeout=float("nan"))
    assert type(again.value) is panic  # created once per process


SUBINTERPRETER_SCRIPT = r"""
import sys
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
IMPORT = '''
try:
    import vesk_async_task._core
    print("imported")
except ImportError as error:
    print("ImportError:", error)
'''
if sys.version_info >= (3, 12):
    # An isolated subinterpreter is refused; that leaves the main one free.
    interpreters.run_string(interpreters.create(), IMPORT)
import vesk_async_task._core
if sys.version_info >= (3, 13):
    interpreter = interpreters.create(config="legacy")
elif sys.version_info >= (3, 12):
    interpreter = interpreters.create(isolated=False)
else:
    interpreter = interpreters.create()
interpreters.run_string(interpreter, IMPORT)
"""


def test_import_from_a_second_interpreter_fails():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    *refused_isolated, refused_second = run.stdout.splitlines()
    assert all(line.startswith("ImportError:") for line in refused_isolated)
    # From 3.14 on the interpreter itself refuses a single-phase module that is
    # already loaded elsewhere, before its init function runs.
    ours, its = "does not support subinterpreters", "does not support loading in subinterpreters"
    assert refused_second.startswith("ImportError:") and (ours in refused_second or
                                                          sys.version_info >= (3, 14) and its in refused_second)


def test_extension_uses_only_the_stable_abi():
    symbols_module = pytest.importorskip("test.test_stable_abi_ctypes")
    nm = subprocess.run(["nm", "-D", "--undefined-only", _core.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    used = {line.split()[-1].split("@")[0] for line in nm.stdout.splitlines() if line.strip()}
    python_symbols = {name for name in used if name.startswith(("Py", "_Py"))}
    # PyModule_Create2 is stable ABI but missing from that list.
    outside = python_symbols - set(symbols_module.SYMBOL_NAMES) - {"PyModule_Create2"}
    assert python_symbols and not outside
