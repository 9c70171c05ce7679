// Helpers for the unit tests. The tests run inside the sandbox, so they
// may write the system's fixed paths and listen on its fixed ports.
#ifndef TARVIK_TEST_SUPPORT_H
#define TARVIK_TEST_SUPPORT_H

#include <sys/types.h>

#include "tarvik.h"

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A path inside the source tree.
std::string source_path(const std::string &relative);

// Writes `content` to `path`, creating parent directories; `mode` applies.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
// The whole content of `path`; empty when it cannot be read.
std::string read_file(const std::string &path);

// A process started in the background, killed (and waited for) when the
// holder goes.
class Process {
public:
	Process() = default;
	explicit Process(const std::vector<std::string> &argv);
	~Process();
	Process(Process &&other) noexcept;
	Process &operator=(Process &&other) noexcept;
	Process(const Process &) = delete;
	Process &operator=(const Process &) = delete;
	pid_t pid() const { return pid_; }
	void stop();

private:
	pid_t pid_ = -1;
};

// A stand-in routing daemon on 127.0.0.1:`port` (see standin/olsr_standin.py),
// ready to answer when the constructor returns. `answers` is a JSON text
// written to a file of its own; `log` receives one JSON line per request.
class DaemonStandIn {
public:
	DaemonStandIn(int port, const std::string &answers, bool telnet,
	              const std::string &log = "");
	// Replaces the answers; the daemon reads them anew for each request.
	void set_answers(const std::string &answers);

private:
	std::string answers_path_;
	Process process_;
};

// Waits (bounded) until something accepts connections on 127.0.0.1:port.
bool wait_for_port(int port, int timeout_ms);

// A figure of /proc/self/status in KiB (VmRSS, VmHWM, ...); -1 if absent.
long status_kib(const char *field);

// What one piece of work cost in a child process.
struct ChildCost {
	bool reported = false; // the child ran `work` and reported in time
	double seconds = -1;   // how long `work` took
	long growth_kib = -1;  // peak RSS during `work` above the RSS before
};

// Runs `work` in a child process, which hands back the `size` bytes at
// `record` as `work` left them. The child's peak RSS is reset first, after
// its free heap is handed back to the kernel, so that memory freed by
// earlier tests cannot hide the growth. The child is killed if it has not
// reported within 30 s.
ChildCost cost_in_child(const std::function<void()> &work, void *record, size_t size);

// Number of descriptors open in this process.
int open_fd_count();

// Runs a shell command; its standard output, and its exit status in
// `*status` when given.
std::string run_command(const std::string &command, int *status = nullptr);

// Runs a shell command that must succeed; a failure (with its output)
// fails the current test.
void must_run(const std::string &command);

// A new ARP list entry (calloc'd, as the library's own) linked to `next`.
ArpEntry *arp_entry(const char *ip, const char *mac, const char *device,
                    ArpEntry *next = nullptr);

// The prefix of a shell command that runs the rest as the unprivileged
// user nobody (uid and gid 65534, no supplementary groups), as a local
// user without privileges would.
constexpr const char kAsNobody[] = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

// Who runs a stand-in.
enum class RunAs { Root, Nobody };

// The stand-in zistad (standin/zistad.py) listening at `socket_path` in
// `mode`, ready when the constructor returns; stopped, and its socket
// removed, when the holder goes. `log` receives one JSON line per
// connection. Run as nobody, it needs a socket path and a log that nobody
// may write (under /tmp).
class ZistadStandIn {
public:
	explicit ZistadStandIn(const std::string &mode = "clients",
	                       const std::string &socket_path = "/var/run/zistad.sock",
	                       const std::string &log = "", RunAs user = RunAs::Root);
	~ZistadStandIn();
	ZistadStandIn(const ZistadStandIn &) = delete;
	ZistadStandIn &operator=(const ZistadStandIn &) = delete;

private:
	std::string socket_path_;
	Process process_;
};

// Lowers the soft limit of open descriptors to the lowest free descriptor
// number, so that the next descriptor cannot be opened (EMFILE); the limit
// is restored when the holder goes.
class FdLimit {
public:
	FdLimit();
	~FdLimit();
	FdLimit(const FdLimit &) = delete;
	FdLimit &operator=(const FdLimit &) = delete;

private:
	unsigned long saved_ = 0;
};

} // namespace testing_support

#endif
