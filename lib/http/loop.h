// The library's event loop: poll(2) over the few descriptors of one
// exchange, one list of timers, the monotonic clock. One process-wide
// loop (uloop_init .. uloop_done), run on the calling thread.
//
// Callbacks may add and remove descriptors and timers, their own
// included. What one pass of poll(2) saw is reported only to the
// registration it was seen for: each registration carries a sequence
// number, so a descriptor removed during a pass, or closed and put back
// under the same number, gets no stale report.
#ifndef TARVIK_LOOP_H
#define TARVIK_LOOP_H

#include <stdint.h>

namespace tarvik {

struct uloop_fd {
	int fd;
	// Called with the poll(2) revents of the descriptor.
	void (*cb)(uloop_fd *u, short revents);
	short events;    // POLLIN / POLLOUT wanted
	bool registered;
	unsigned seq;    // the registration, set by uloop_fd_add
};

struct uloop_timeout {
	void (*cb)(uloop_timeout *t);
	int64_t due_ms;  // on the monotonic clock
	uloop_timeout *next;
	bool pending;
};

// The loop holds at most this many descriptors at once.
constexpr int kLoopMaxFds = 4;

// Set by a callback to make the running loop return once the callback is
// done. Cleared by uloop_init, uloop_done and at the start of each run.
extern bool uloop_cancelled;

int uloop_init(void);
// Forgets every descriptor and timer still registered.
void uloop_done(void);
// Whether uloop_init has brought the loop up (and uloop_done not yet
// taken it down).
bool uloop_is_up(void);
// Runs the loop until uloop_cancelled is set or nothing is left to wait
// for; `timeout_ms` < 0 means no time limit.
int uloop_run_timeout(int timeout_ms);

// Watches `u->fd` for `events` (replacing what it watched before); -1 when
// the loop is down or full.
int uloop_fd_add(uloop_fd *u, short events);
void uloop_fd_delete(uloop_fd *u);

// (Re)arms `t` to fire once, `msecs` from now; -1 when the loop is down.
int uloop_timeout_set(uloop_timeout *t, int msecs);
void uloop_timeout_cancel(uloop_timeout *t);

// The monotonic clock in milliseconds.
int64_t uloop_now_ms(void);

} // namespace tarvik

#endif
