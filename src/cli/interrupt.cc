#include "cli/interrupt.h"

#include <sys/socket.h>

#include <atomic>

namespace tovik::cli {
namespace {

// Shared with the handler; lock-free atomics are safe there.
std::atomic<int> g_interrupts{0};
std::atomic<int> g_abort_socket{-1};
std::atomic<bool> g_patient{false};

extern "C" void on_shell_interrupt(int) {
  const int count = g_interrupts.fetch_add(1) + 1;
  const int socket = g_abort_socket.load();
  if (socket >= 0 && (!g_patient.load() || count > 1)) ::shutdown(socket, SHUT_RDWR);
}

}  // namespace

InterruptScope::InterruptScope() {
  struct sigaction action {};
  action.sa_handler = on_shell_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read must see EINTR
  ::sigaction(SIGINT, &action, &old_);
}

InterruptScope::~InterruptScope() { ::sigaction(SIGINT, &old_, nullptr); }

bool interrupted() { return g_interrupts.load() > 0; }

void clear_interrupt() { g_interrupts.store(0); }

AbortScope::AbortScope(int socket, bool patient) {
  g_patient.store(patient);
  g_abort_socket.store(socket);
}

AbortScope::~AbortScope() { g_abort_socket.store(-1); }

}  // namespace tovik::cli
