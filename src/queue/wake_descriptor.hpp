// Signalling the descriptor an event loop watches to be woken. The loop makes
// it and closes it (aio.py): an eventfd on Linux, a pipe on other POSIX
// systems, a connected socket pair on Windows, whose select() watches sockets
// only.
#pragma once

namespace vesk {

// Makes `fd` readable: adds 1 to an eventfd's counter, or writes to a pipe or
// socket. Never blocks and never fails loudly: a descriptor that is full is
// readable already, one that is gone has nobody left to wake.
void signal_wake_descriptor(int fd) noexcept;

}  // namespace vesk
