"""Builds the C++ unit tests of the native building blocks and runs them with CTest."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

NATIVE = Path(__file__).parent / "native"


def have_gtest():
    return any(Path(p).exists() for p in ("/usr/include/gtest/gtest.h", "/usr/local/include/gtest/gtest.h"))


def test_native_suite(tmp_path):
    missing = [name for name, present in [("cmake", shutil.which("cmake") is not None),
                                          ("GoogleTest (libgtest-dev)", have_gtest())] if not present]
    if missing:
        names, verb = " and ".join(missing), "is" if len(missing) == 1 else "are"
        if os.environ.get("VESK_REQUIRE_NATIVE_TESTS"):
            pytest.fail(f"{names} {verb} required for the native tests")
        pytest.skip(f"{names} {verb} not installed")
    build = tmp_path / "native"
    steps = [
        ["cmake", "-S", str(NATIVE), "-B", str(build)],
        ["cmake", "--build", str(build), "-j2"],
        ["ctest", "--test-dir", str(build), "--output-on-failure"],
    ]
    for step in steps:
        run = subprocess.run(step, capture_output=True, text=True, timeout=600)
        assert run.returncode == 0, f"{' '.join(step)}\n{run.stdout[-4000:]}\n{run.stderr[-4000:]}"
    assert "tests passed" in run.stdout
