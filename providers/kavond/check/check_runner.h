// The stage runner of olsr-kavond --check. Each stage runs in a child
// process of its own, in a process group of its own, and reports back
// over a pipe in lines: lines to print as they stand, and facts (lines
// beginning with "@") for the parent: what later stages build on (which
// daemons the site enables, which run and answer), what the stage is
// doing now, and how many ARP probes it is about to send. The library's
// queries have no time-out shorter than the documents' 300 s, so the
// parent kills the stage's group at its deadline and names what it was
// doing. Both ends of the protocol are in check_runner.cc.
#ifndef OLSR_KAVOND_CHECK_RUNNER_H
#define OLSR_KAVOND_CHECK_RUNNER_H

#include <stddef.h>
#include <stdint.h>

#include "check_report.h"

namespace kavond {

// The routing daemons, by index: olsrd, olsrd2.
constexpr int kDaemonCount = 2;

// What the stages have found out so far, for the later ones (a stage's
// child sees the parent's copy as it was at the fork).
struct FoundSoFar {
	bool config = false;               // the site configuration has "mesh" -> "olsrd"
	bool enabled[kDaemonCount] = {};
	bool running[kDaemonCount] = {};
	bool answers[kDaemonCount] = {};   // its HTTP interface answered with JSON
	bool late[kDaemonCount] = {};      // its stage did not end by the deadline
};

// A stage's end of the protocol: its findings and facts, written to the
// pipe `fd`, each line in one write, so the parent never sees half a line
// of a killed child.
class StageReport {
public:
	explicit StageReport(int fd) : fd_(fd) {}

	// A finding, wrapped.
	__attribute__((format(printf, 3, 4))) void line(Level level, const char *format, ...);
	// Further lines of the finding above, indented.
	void detail(const char *text);
	// The hint of a warn or FAIL: what to look at or run.
	__attribute__((format(printf, 2, 3))) void hint(const char *format, ...);

	// Facts for the parent.
	void config_found();
	void enabled(int daemon, bool on);
	void running(int daemon);
	void answers(int daemon);
	// `count` ARP probes follow, each of which may take its time.
	void probes(size_t count);
	// What the stage is doing now, named should its deadline pass, and the
	// hint to give then (NULL: the stage's own).
	void doing(const char *what, const char *late_hint = nullptr);

private:
	__attribute__((format(printf, 2, 3))) void fact(const char *format, ...);
	void put(const char *s, size_t n);
	int fd_;
};

// Each announced probe extends a stage's deadline by this much (its own
// probe and the document's, each waiting up to 1 s), but never beyond
// kMaxStageMs after its start.
constexpr int kPerProbeMs = 2200;
constexpr int kMaxStageMs = 60000;

// The parent's view of a running stage, as its lines tell it.
struct StageState {
	int64_t start = 0;     // monotonic ms
	int64_t deadline = 0;  // monotonic ms
	char doing[256] = "";
	char late_hint[256] = "";
	bool failed = false;   // it printed a FAIL line
};

// The parent's end of the protocol: reads one line of a stage (without its
// "\n"). A fact updates `facts` or `state` and gives false; any other line
// gives true, to be printed as it stands (a FAIL line also sets
// state.failed). Malformed facts are ignored.
bool read_stage_line(const char *line, FoundSoFar &found, StageState &state);

using StageFn = void (*)(const FoundSoFar &, StageReport &, int);

class Runner {
public:
	FoundSoFar found;
	bool failed() const { return failed_; }

	// Runs `fn(found, report, arg)` in a child with `deadline_ms`;
	// `title` and `late_hint` make the FAIL line should the deadline
	// pass. False when the stage did not end by itself (deadline, crash,
	// no child).
	bool run(const char *title, int deadline_ms, const char *late_hint, StageFn fn, int arg = 0);

private:
	bool collect(int fd, int child, const char *title, StageState &state, const char *late_hint);
	void fail(const char *title, const char *what, const char *hint);

	bool failed_ = false;
};

// From now on, SIGINT, SIGTERM, SIGHUP and SIGPIPE kill the running
// stage's process group before they end the check; a SIGKILL of the check
// ends the stage's own process too (its parent-death signal).
void stop_stages_with_check();

} // namespace kavond

#endif
