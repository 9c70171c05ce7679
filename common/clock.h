// Time helpers shared by every module that waits: one monotonic clock in
// milliseconds (deadlines), and milliseconds as a timeval (socket and
// event time-outs).
#ifndef TARVIK_CLOCK_H
#define TARVIK_CLOCK_H

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

namespace tarvik {

// Milliseconds of CLOCK_MONOTONIC: deadlines are not moved by a change of
// the wall clock.
inline int64_t monotonic_ms() {
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A point `ms` from now on the monotonic clock, and what is left until it.
class Deadline {
public:
	explicit Deadline(int ms) : end_ms_(monotonic_ms() + ms) {}
	// Milliseconds left; 0 once the point has passed.
	int remaining_ms() const {
		int64_t left = end_ms_ - monotonic_ms();
		return left <= 0 ? 0 : static_cast<int>(left);
	}

private:
	int64_t end_ms_;
};

// `ms` (not negative) as a timeval.
inline timeval ms_to_timeval(int ms) {
	timeval tv;
	tv.tv_sec = ms / 1000;
	tv.tv_usec = (ms % 1000) * 1000;
	return tv;
}

} // namespace tarvik

#endif
