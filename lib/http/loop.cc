// The poll(2) event loop. Descriptors live in a small fixed table and
// timers in one list; nothing is allocated.
#include "loop.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

#include "clock.h"

namespace tarvik {

bool uloop_cancelled;

namespace {

bool loop_up;
unsigned registrations;
uloop_fd *fds[kLoopMaxFds];
uloop_timeout *timers;

void timer_unlink(uloop_timeout *t) {
	for (uloop_timeout **p = &timers; *p != nullptr; p = &(*p)->next) {
		if (*p == t) {
			*p = t->next;
			break;
		}
	}
	t->next = nullptr;
	t->pending = false;
}

// The earliest due timer, or NULL.
uloop_timeout *next_timer(void) {
	uloop_timeout *first = nullptr;
	for (uloop_timeout *t = timers; t != nullptr; t = t->next)
		if (first == nullptr || t->due_ms < first->due_ms)
			first = t;
	return first;
}

// Fires every timer that is due; each one taken off before its callback,
// which may arm it again.
void fire_timers(void) {
	int64_t now = uloop_now_ms();
	for (;;) {
		if (uloop_cancelled)
			return;
		uloop_timeout *t = next_timer();
		if (t == nullptr || t->due_ms > now)
			return;
		timer_unlink(t);
		t->cb(t);
	}
}

} // namespace

int64_t uloop_now_ms(void) { return monotonic_ms(); }

int uloop_init(void) {
	uloop_cancelled = false;
	loop_up = true;
	return 0;
}

void uloop_done(void) {
	for (uloop_fd *&u : fds) {
		if (u != nullptr)
			u->registered = false;
		u = nullptr;
	}
	while (timers != nullptr)
		timer_unlink(timers);
	loop_up = false;
	uloop_cancelled = false;
}

bool uloop_is_up(void) { return loop_up; }

int uloop_fd_add(uloop_fd *u, short events) {
	if (!loop_up)
		return -1;
	u->events = events;
	if (u->registered)
		return 0;
	for (uloop_fd *&slot : fds) {
		if (slot == nullptr) {
			slot = u;
			u->registered = true;
			u->seq = ++registrations;
			return 0;
		}
	}
	return -1;
}

void uloop_fd_delete(uloop_fd *u) {
	for (uloop_fd *&slot : fds)
		if (slot == u)
			slot = nullptr;
	u->registered = false;
}

int uloop_timeout_set(uloop_timeout *t, int msecs) {
	if (!loop_up)
		return -1;
	if (t->pending)
		timer_unlink(t);
	t->due_ms = uloop_now_ms() + (msecs > 0 ? msecs : 0);
	t->next = timers;
	timers = t;
	t->pending = true;
	return 0;
}

void uloop_timeout_cancel(uloop_timeout *t) {
	if (t->pending)
		timer_unlink(t);
}

int uloop_run_timeout(int timeout_ms) {
	if (!loop_up)
		return -1;
	uloop_cancelled = false;
	uloop_timeout limit = {};
	limit.cb = [](uloop_timeout *) { uloop_cancelled = true; };
	if (timeout_ms >= 0)
		uloop_timeout_set(&limit, timeout_ms);
	while (!uloop_cancelled) {
		pollfd polled[kLoopMaxFds];
		uloop_fd *owners[kLoopMaxFds];
		unsigned seqs[kLoopMaxFds];
		nfds_t n = 0;
		for (uloop_fd *u : fds) {
			if (u == nullptr)
				continue;
			polled[n] = {u->fd, u->events, 0};
			seqs[n] = u->seq;
			owners[n++] = u;
		}
		uloop_timeout *t = next_timer();
		if (n == 0 && t == nullptr)
			break; // nothing left to wait for
		int wait = -1;
		if (t != nullptr) {
			int64_t left = t->due_ms - uloop_now_ms();
			wait = left <= 0 ? 0 : left > 60000 ? 60000 : static_cast<int>(left);
		}
		int ready = poll(polled, n, wait);
		if (ready < 0 && errno != EINTR)
			break;
		fire_timers();
		for (nfds_t i = 0; ready > 0 && i < n && !uloop_cancelled; i++) {
			uloop_fd *u = owners[i];
			// Reported only to the registration that was polled: a
			// callback before may have removed it or made a new one.
			if (polled[i].revents == 0 || !u->registered || u->seq != seqs[i])
				continue;
			u->cb(u, polled[i].revents);
		}
	}
	uloop_timeout_cancel(&limit);
	return 0;
}

} // namespace tarvik
