#pragma once
// Termination requests (SIGTERM, SIGINT) delivered as a readable descriptor, so that an event
// loop can end the program in order (stop the workers, wait for them, write the logs)
// instead of dying in the middle of a transfer.
//
// The handler only writes one byte into a non-blocking pipe, which is safe in a signal
// handler. A second request while the first is still being handled ends the process the
// default way: a shutdown that hangs can still be ended with another SIGTERM or Ctrl-C.
//
// Threads: install once on the main thread before other threads start; the descriptor is
// then read on the main thread.

// Installs the handlers and returns the descriptor that becomes readable on a request, or
// -1 when the system refused (the signals then keep their default action).
int InstallTerminationRequestNotifier();

// Reads the pending request bytes (never blocks). True when at least one was pending.
bool ConsumeTerminationRequest(int fd);
