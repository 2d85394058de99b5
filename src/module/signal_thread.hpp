// Which thread runs Python's signal handlers: the interpreter's main thread,
// and in a child forked from any thread, the thread that forked (the
// interpreter makes it the child's main thread). A wait asks this on every
// call, so it is found once at import and kept up to date across forks,
// never looked up in Python per wait (which also fails at finalization,
// when nothing can be imported).
#pragma once

namespace vesk {

// Records the main thread's identity and arranges for a forked child to
// record its own. Called once per process, at import (a second call only
// repeats the work). GIL held; throws PythonError.
void record_signal_thread();

// True on the thread that runs signal handlers.
bool runs_signal_handlers() noexcept;

}  // namespace vesk
