// Ctrl+C in the interactive shell: it cancels the line being typed (the
// line editor asks interrupted()) and stops the command that runs.
//
// While an InterruptScope lives, SIGINT sets a flag instead of ending the
// process, and interrupts the system call it arrives in (no SA_RESTART). A
// command that waits on the server names its socket with an AbortScope: a
// quick command's socket is shut down at the first Ctrl+C, so the wait ends
// at once; a transfer checks the flag between its requests and gives up
// the socket only at a second Ctrl+C.
//
// Threads: the tool's one thread; the handler touches only atomics and
// shutdown(2).
#pragma once

#include <csignal>

namespace tovik::cli {

class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct sigaction old_ {};
};

// True when Ctrl+C came since the last clear_interrupt.
bool interrupted();
void clear_interrupt();

class AbortScope {
 public:
  // patient: the first Ctrl+C only sets the flag (a transfer that stops
  // between requests); else it also shuts the socket down.
  AbortScope(int socket, bool patient);
  ~AbortScope();
  AbortScope(const AbortScope&) = delete;
  AbortScope& operator=(const AbortScope&) = delete;
};

}  // namespace tovik::cli
