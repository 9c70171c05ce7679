// The refresh command, run for one refresh: a child process in a group of
// its own whose standard output is the document, waited for against the
// refresh's bound. A refresh that passes its bound is stopped with all it
// started, and says what it was waiting for, read from /proc: a daemon
// whose address one of its TCP connections points to, else a command it
// started.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cache.h"
#include "clock.h"
#include "daemons.h"
#include "holders.h"
#include "refresh_command.h"

namespace kavond {

using namespace tarvik;

namespace {

// Reports how the refresh command of `name` ended (`status` of waitpid,
// -1 when it could not be waited for) unless it exited with status 0;
// true exactly then.
bool report_status(int status, const char *name) {
	if (status == -1) {
		fprintf(stderr, "olsr-kavond %s: cannot wait for it: %s\n", name, strerror(errno));
		return false;
	}
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
		return true;
	if (WIFEXITED(status))
		fprintf(stderr, "olsr-kavond %s: exited with status %d\n", name, WEXITSTATUS(status));
	else if (WIFSIGNALED(status))
		fprintf(stderr, "olsr-kavond %s: killed by signal %d (%s)\n", name, WTERMSIG(status),
		        strsignal(WTERMSIG(status)));
	else
		fprintf(stderr, "olsr-kavond %s: ended with wait status %d\n", name, status);
	return false;
}

// ---- what a hung refresh waits for ------------------------------------

struct DirClose {
	void operator()(DIR *d) const { closedir(d); }
};

// The socket inodes among the open descriptors of process `pid`; their
// count (at most `max`).
size_t socket_inodes(pid_t pid, unsigned long *inodes, size_t max) {
	char dir_path[48];
	snprintf(dir_path, sizeof dir_path, "/proc/%ld/fd", static_cast<long>(pid));
	Owner<DIR, DirClose> dir(opendir(dir_path));
	size_t count = 0;
	while (dir && count < max) {
		dirent *entry = readdir(dir.get());
		if (entry == nullptr)
			break;
		char link_path[320], target[64];
		snprintf(link_path, sizeof link_path, "%s/%s", dir_path, entry->d_name);
		ssize_t n = readlink(link_path, target, sizeof target - 1);
		if (n <= 0)
			continue;
		target[n] = '\0';
		if (sscanf(target, "socket:[%lu]", &inodes[count]) == 1)
			count++;
	}
	return count;
}

// The index in kNodeinfoDaemons of the daemon that one of the sockets
// `inodes` of process `pid` is connected (or connecting) to, by the
// daemon's endpoint; -1 when none is.
int daemon_peer(pid_t pid, const unsigned long *inodes, size_t count) {
	char path[48];
	snprintf(path, sizeof path, "/proc/%ld/net/tcp", static_cast<long>(pid));
	FilePtr table(fopen(path, "re"));
	char line[256];
	while (table && fgets(line, sizeof line, table.get()) != nullptr) {
		// "sl local rem st tx:rx tr:when retrnsmt uid timeout inode": the
		// address is the 32 bits in network order, printed as a host
		// number, the port a host number.
		unsigned address = 0, port = 0;
		unsigned long inode = 0;
		if (sscanf(line, " %*u: %*x:%*x %x:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu", &address,
		           &port, &inode) != 3)
			continue;
		bool ours = false;
		for (size_t i = 0; i < count; i++)
			ours = ours || inodes[i] == inode;
		if (!ours)
			continue;
		// Read back as a host number, its bytes in memory are the
		// address; under an emulator of the other byte order than the
		// kernel's they are reversed, so both orders are tried.
		unsigned char b[4];
		memcpy(b, &address, sizeof b);
		for (int reversed = 0; reversed < 2; reversed++) {
			char endpoint[32];
			int i = reversed ? 3 : 0, step = reversed ? -1 : 1;
			snprintf(endpoint, sizeof endpoint, "%u.%u.%u.%u:%u", b[i], b[i + step],
			         b[i + 2 * step], b[i + 3 * step], port);
			for (int d = 0; d < static_cast<int>(sizeof kDaemonNames / sizeof *kDaemonNames); d++)
				if (strcmp(endpoint, kNodeinfoDaemons[d].facts->endpoint) == 0)
					return d;
		}
	}
	return -1;
}

// A process that `pid` started, by the parent named in each /proc/N/stat
// (/proc/PID/task/PID/children needs a kernel option that routers may
// lack); 0 when there is none.
long child_of(pid_t pid) {
	Owner<DIR, DirClose> proc(opendir("/proc"));
	while (proc) {
		dirent *entry = readdir(proc.get());
		if (entry == nullptr)
			break;
		char path[300], stat[512];
		snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
		Fd fd(entry->d_name[0] >= '1' && entry->d_name[0] <= '9' ? open(path, O_RDONLY | O_CLOEXEC)
		                                                       : -1);
		ssize_t n = fd ? read(fd.get(), stat, sizeof stat - 1) : -1;
		if (n <= 0)
			continue;
		stat[n] = '\0';
		// "PID (COMM) STATE PPID ...": COMM may hold anything, ")" too.
		const char *after = strrchr(stat, ')');
		long parent = 0;
		if (after != nullptr && sscanf(after + 1, " %*c %ld", &parent) == 1 && parent == pid)
			return strtol(entry->d_name, nullptr, 10);
	}
	return 0;
}

// The command line of a process that `pid` started (its arguments joined
// by blanks) into `out`; false when it has none that can be read.
bool started_command(pid_t pid, char *out, size_t size) {
	long child = child_of(pid);
	char path[48];
	snprintf(path, sizeof path, "/proc/%ld/cmdline", child);
	Fd fd(child > 0 ? open(path, O_RDONLY | O_CLOEXEC) : -1);
	ssize_t n = fd ? read(fd.get(), out, size - 1) : -1;
	if (n <= 0)
		return false;
	while (n > 0 && out[n - 1] == '\0')
		n--;
	for (ssize_t i = 0; i < n; i++)
		if (out[i] == '\0')
			out[i] = ' ';
	out[n] = '\0';
	return true;
}

// What the refresh command `pid` waits for, into `out`: a routing
// daemon's answer (the query the library sends names no more than the
// socket does), else the command it started (an init script), else
// nothing known.
void describe_wait(pid_t pid, char *out, size_t size) {
	unsigned long inodes[16];
	int daemon = daemon_peer(pid, inodes, socket_inodes(pid, inodes, 16));
	char command[200];
	if (daemon >= 0)
		snprintf(out, size, "waiting for %s on %s to answer", kDaemonNames[daemon],
		         kNodeinfoDaemons[daemon].facts->endpoint);
	else if (started_command(pid, command, sizeof command))
		snprintf(out, size, "waiting for \"%s\"", command);
	else
		snprintf(out, size, "computing the document");
}

// ---- running the refresh command ----------------------------------------

// What the command printed, as one NUL-terminated text.
struct Output {
	TextPtr text;
	size_t used = 0, size = 0;
	bool failed = false; // memory ran out: the text is not the whole output

	void add(const char *bytes, size_t n) {
		if (failed)
			return;
		if (used + n + 1 > size) {
			size_t more = size * 2 > used + n + 1 ? size * 2 : used + n + 1 + 4096;
			if (!resize_text(text, more)) {
				failed = true;
				return;
			}
			size = more;
		}
		memcpy(text.get() + used, bytes, n);
		used += n;
		text.get()[used] = '\0';
	}
};

} // namespace

json_object *run_refresh_command(const char *name, int bound_s, bool *succeeded) {
	*succeeded = false;
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0) {
		fprintf(stderr, "olsr-kavond %s: cannot make a pipe: %s\n", name, strerror(errno));
		return nullptr;
	}
	Fd from_command(fds[0]), to_parent(fds[1]);
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid < 0) {
		fprintf(stderr, "olsr-kavond %s: cannot start it: %s\n", name, strerror(errno));
		return nullptr;
	}
	if (pid == 0) {
		setpgid(0, 0);
		// Killed with the refresh, whatever ends that (kill PID of the
		// lock's holder, as the check advises): no refresh leaves its
		// command behind, hung on a daemon, once the lock is free again.
		if (prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent &&
		    dup2(to_parent.get(), STDOUT_FILENO) >= 0) {
			char *argv[] = {const_cast<char *>(kRefreshCommand), const_cast<char *>(name),
			                nullptr};
			execv(kRefreshCommand, argv);
		}
		_exit(127);
	}
	// Set on both sides: whichever runs first, the group exists before
	// it could be killed.
	setpgid(pid, pid);
	to_parent.reset();

	Output output;
	int64_t deadline = bound_s > 0 ? monotonic_ms() + int64_t{bound_s} * 1000 : 0;
	bool reading = true, late = false;
	int status = 0;
	for (;;) {
		int64_t left = deadline != 0 ? deadline - monotonic_ms() : -1;
		if (deadline != 0 && left <= 0) {
			late = true;
			break;
		}
		int wait_ms = left < 0 || left > INT32_MAX ? -1 : static_cast<int>(left);
		if (!reading) {
			// Its output ended; it should end at once too.
			pid_t ended = waitpid(pid, &status, deadline != 0 ? WNOHANG : 0);
			if (ended == pid)
				break;
			if (ended < 0 && errno != EINTR) {
				status = -1;
				break;
			}
			if (ended == 0)
				poll(nullptr, 0, wait_ms < 0 || wait_ms > 20 ? 20 : wait_ms);
			continue;
		}
		pollfd waiting = {from_command.get(), POLLIN, 0};
		int ready = poll(&waiting, 1, wait_ms);
		if (ready < 0 && errno != EINTR)
			reading = false; // cannot wait for output: wait for the end
		if (ready <= 0)
			continue; // late, or a signal
		char block[4096];
		ssize_t n = read(from_command.get(), block, sizeof block);
		if (n > 0)
			output.add(block, static_cast<size_t>(n));
		else if (n == 0 || (errno != EINTR && errno != EAGAIN))
			reading = false;
	}
	if (late) {
		char what[256];
		describe_wait(pid, what, sizeof what);
		kill(-pid, SIGKILL);
		kill(pid, SIGKILL);
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
		}
		fprintf(stderr, "olsr-kavond %s: no document within %d s, while %s; stopped it\n", name,
		        bound_s, what);
		return nullptr;
	}
	*succeeded = report_status(status, name);
	return output.text != nullptr && !output.failed ? json_tokener_parse(output.text.get())
	                                                : nullptr;
}

} // namespace kavond
