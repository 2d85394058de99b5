"""Says at the end of a run when the C++ unit tests were skipped, and why."""


def pytest_terminal_summary(terminalreporter):
    for report in terminalreporter.stats.get("skipped", []):
        if report.nodeid.endswith("test_native.py::test_native_suite"):
            reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
            terminalreporter.write_line(
                f"NOTE: the C++ unit tests did not run ({reason.removeprefix('Skipped: ')}). "
                "Install what is missing to run them (cmake: pip install cmake; GoogleTest, Debian: "
                "apt-get install libgtest-dev).",
                yellow=True, bold=True)
