#include "check_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "clock.h"
#include "holders.h"

namespace kavond {

using tarvik::Fd;
using tarvik::monotonic_ms;

// ---- the child's end ------------------------------------------------------

void StageReport::line(Level level, const char *format, ...) {
	va_list ap;
	va_start(ap, format);
	Text text;
	text.addv(format, ap);
	va_end(ap);
	wrap(lead(level), kIndent, text.c_str(), [this](const char *s, size_t n) { put(s, n); });
}

void StageReport::detail(const char *text) {
	wrap(kIndent, kIndent, text, [this](const char *s, size_t n) { put(s, n); });
}

void StageReport::hint(const char *format, ...) {
	va_list ap;
	va_start(ap, format);
	Text text;
	text.addv(format, ap);
	va_end(ap);
	wrap(kHintLead, kHintIndent, text.c_str(), [this](const char *s, size_t n) { put(s, n); });
}

void StageReport::config_found() { fact("@config 1"); }
void StageReport::enabled(int daemon, bool on) { fact("@enabled %d %d", daemon, on ? 1 : 0); }
void StageReport::running(int daemon) { fact("@running %d 1", daemon); }
void StageReport::answers(int daemon) { fact("@answers %d 1", daemon); }
void StageReport::probes(size_t count) { fact("@probes %zu", count); }

void StageReport::doing(const char *what, const char *late_hint) {
	fact("@at %s", what);
	if (late_hint != nullptr)
		fact("@late %s", late_hint);
}

void StageReport::fact(const char *format, ...) {
	va_list ap;
	va_start(ap, format);
	char text[256];
	int n = vsnprintf(text, sizeof text, format, ap);
	va_end(ap);
	if (n > 0)
		put(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
}

void StageReport::put(const char *s, size_t n) {
	char out[kWidth + 2 > 260 ? kWidth + 2 : 260];
	if (n > sizeof out - 1)
		n = sizeof out - 1;
	memcpy(out, s, n);
	out[n++] = '\n';
	size_t done = 0;
	while (done < n) {
		ssize_t w = write(fd_, out + done, n - done);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return;
		done += static_cast<size_t>(w);
	}
}

// ---- the parent's end -------------------------------------------------------

namespace {

// "@NAME INDEX VALUE" for a daemon's flag: the flag set, or false when the
// line is not that fact.
bool daemon_fact(const char *line, const char *name, bool (&flags)[kDaemonCount]) {
	char format[32];
	snprintf(format, sizeof format, "@%s %%d %%d%%n", name);
	int index = 0, value = 0, end = 0;
	if (sscanf(line, format, &index, &value, &end) != 2 || line[end] != '\0')
		return false;
	if (index >= 0 && index < kDaemonCount)
		flags[index] = value != 0;
	return true;
}

} // namespace

bool read_stage_line(const char *line, FoundSoFar &found, StageState &state) {
	if (line[0] != '@') {
		if (strncmp(line, "FAIL", 4) == 0)
			state.failed = true;
		return true;
	}
	int value = 0;
	if (strncmp(line, "@at ", 4) == 0) {
		snprintf(state.doing, sizeof state.doing, "%s", line + 4);
		state.late_hint[0] = '\0';
	} else if (strncmp(line, "@late ", 6) == 0) {
		snprintf(state.late_hint, sizeof state.late_hint, "%s", line + 6);
	} else if (strcmp(line, "@config 1") == 0) {
		found.config = true;
	} else if (daemon_fact(line, "enabled", found.enabled) ||
	           daemon_fact(line, "running", found.running) ||
	           daemon_fact(line, "answers", found.answers)) {
	} else if (sscanf(line, "@probes %d", &value) == 1 && value > 0) {
		// Each announced probe may take its time, but never without end.
		int64_t more = static_cast<int64_t>(value) * kPerProbeMs;
		int64_t most = state.start + kMaxStageMs;
		state.deadline = state.deadline + more < most ? state.deadline + more : most;
	}
	return false;
}

// ---- running a stage ----------------------------------------------------------

namespace {

// The process group of the stage running now, for the signal handler: a
// check stopped by Ctrl-C or a closed terminal leaves no stage behind.
volatile sig_atomic_t g_stage_group = 0;

void stop_stage_and_die(int sig) {
	if (g_stage_group > 0)
		kill(-g_stage_group, SIGKILL);
	signal(sig, SIG_DFL);
	raise(sig);
}

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The child's side of a stage: it never returns.
[[noreturn]] void stage_child(pid_t parent, Fd to_parent, StageFn fn,
                              const FoundSoFar &found, int arg) {
	// Killed with its parent, whatever ends that (SIGKILL included): a
	// parent that died before this took effect is not waited for.
	if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
		_exit(1);
	setpgid(0, 0);
	for (int sig : kStopSignals)
		signal(sig, SIG_DFL);
	// What the library and the init scripts print goes to standard error:
	// standard output carries the check's lines.
	dup2(STDERR_FILENO, STDOUT_FILENO);
	StageReport report(to_parent.get());
	fn(found, report, arg);
	fflush(stdout);
	_exit(0);
}

} // namespace

void stop_stages_with_check() {
	for (int sig : kStopSignals)
		signal(sig, stop_stage_and_die);
}

bool Runner::run(const char *title, int deadline_ms, const char *late_hint, StageFn fn, int arg) {
	fflush(stdout); // else the child would inherit, and print, what is buffered
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0) {
		fail(title, "cannot start the stage", strerror(errno));
		return false;
	}
	Fd from_child(fds[0]), to_parent(fds[1]);
	pid_t parent = getpid();
	pid_t child = fork();
	if (child < 0) {
		fail(title, "cannot start the stage", strerror(errno));
		return false;
	}
	if (child == 0) {
		from_child.reset();
		stage_child(parent, std::move(to_parent), fn, found, arg);
	}
	setpgid(child, child);
	g_stage_group = child;
	to_parent.reset();
	StageState state;
	state.start = monotonic_ms();
	state.deadline = state.start + deadline_ms;
	bool ended = collect(from_child.get(), child, title, state, late_hint);
	g_stage_group = 0;
	fflush(stdout);
	return ended;
}

bool Runner::collect(int fd, int child, const char *title, StageState &state,
                     const char *late_hint) {
	char buf[4096];
	size_t used = 0;
	bool late = false;
	for (;;) {
		int64_t left = state.deadline - monotonic_ms();
		if (left <= 0) {
			late = true;
			break;
		}
		pollfd waiting = {fd, POLLIN, 0};
		int ready = poll(&waiting, 1, static_cast<int>(left));
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready < 0)
			break;
		if (ready == 0) {
			late = true;
			break;
		}
		ssize_t n = read(fd, buf + used, sizeof buf - used);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		used += static_cast<size_t>(n);
		size_t begin = 0;
		for (size_t i = 0; i < used; i++) {
			if (buf[i] != '\n')
				continue;
			buf[i] = '\0';
			if (read_stage_line(buf + begin, found, state))
				puts(buf + begin);
			begin = i + 1;
		}
		memmove(buf, buf + begin, used - begin);
		used -= begin;
		if (used == sizeof buf) // no line is this long; drop it
			used = 0;
	}
	failed_ = failed_ || state.failed;

	if (late) {
		kill(-child, SIGKILL);
		kill(child, SIGKILL);
	}
	int status = 0;
	while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
	}
	if (late) {
		Text what;
		what.add("no result within %ld s",
		         static_cast<long>((state.deadline - state.start + 999) / 1000));
		if (state.doing[0] != '\0')
			what.add(", while %s", state.doing);
		fail(title, what.c_str(), state.late_hint[0] != '\0' ? state.late_hint : late_hint);
		return false;
	}
	if (WIFSIGNALED(status)) {
		Text what;
		what.add("the stage ended by signal %d (%s)", WTERMSIG(status),
		         strsignal(WTERMSIG(status)));
		fail(title, what.c_str(), "run it again; if it stays, report it with the lines above");
		return false;
	}
	return true;
}

void Runner::fail(const char *title, const char *what, const char *hint) {
	Text text;
	text.add("%s: %s", title, what);
	print_finding(kFail, text.c_str(), hint);
	failed_ = true;
}

} // namespace kavond
