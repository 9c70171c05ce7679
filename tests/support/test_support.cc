#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace testing_support {

std::string source_path(const std::string &relative) {
	return std::string(TARVIK_SOURCE_DIR) + "/" + relative;
}

static void make_parents(const std::string &path) {
	for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
		mkdir(path.substr(0, at).c_str(), 0755);
}

void write_file(const std::string &path, const std::string &content, int mode) {
	make_parents(path);
	std::string tmp = path + ".tmp-write";
	{
		std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
		if (!out)
			throw std::runtime_error("cannot write " + path);
		out << content;
	}
	chmod(tmp.c_str(), static_cast<mode_t>(mode));
	if (rename(tmp.c_str(), path.c_str()) != 0)
		throw std::runtime_error("cannot rename to " + path);
}

std::string read_file(const std::string &path) {
	std::ifstream in(path, std::ios::binary);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

Process::Process(const std::vector<std::string> &argv) {
	pid_ = fork();
	if (pid_ == 0) {
		std::vector<char *> args;
		for (const auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execvp(args[0], args.data());
		_exit(127);
	}
}

Process::~Process() { stop(); }

Process::Process(Process &&other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

Process &Process::operator=(Process &&other) noexcept {
	if (this != &other) {
		stop();
		pid_ = std::exchange(other.pid_, -1);
	}
	return *this;
}

void Process::stop() {
	if (pid_ > 0) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	pid_ = -1;
}

bool wait_for_port(int port, int timeout_ms) {
	for (int waited = 0; waited < timeout_ms; waited += 20) {
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in addr{};
		addr.sin_family = AF_INET;
		addr.sin_port = htons(static_cast<uint16_t>(port));
		addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
		close(fd);
		if (ok)
			return true;
		usleep(20000);
	}
	return false;
}

DaemonStandIn::DaemonStandIn(int port, const std::string &answers, bool telnet,
                             const std::string &log)
    : answers_path_("/run/standin-answers-" + std::to_string(port) + ".json") {
	write_file(answers_path_, answers);
	std::vector<std::string> argv = {"python3", source_path("standin/olsr_standin.py"),
	                                 "--port", std::to_string(port), "--answers", answers_path_};
	if (telnet)
		argv.push_back("--telnet");
	if (!log.empty()) {
		argv.push_back("--log");
		argv.push_back(log);
	}
	process_ = Process(argv);
	if (!wait_for_port(port, 10000))
		throw std::runtime_error("stand-in daemon did not start on port " + std::to_string(port));
}

void DaemonStandIn::set_answers(const std::string &answers) { write_file(answers_path_, answers); }

int open_fd_count() {
	int count = 0;
	DIR *dir = opendir("/proc/self/fd");
	if (dir == nullptr)
		return -1;
	while (dirent *de = readdir(dir))
		if (de->d_name[0] != '.')
			count++;
	closedir(dir);
	return count - 1; // the directory's own descriptor
}

std::string run_command(const std::string &command, int *status) {
	FILE *p = popen(command.c_str(), "r");
	if (p == nullptr)
		return {};
	std::string out;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, p)) > 0)
		out.append(buf, n);
	int st = pclose(p);
	if (status != nullptr)
		*status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	return out;
}

ZistadStandIn::ZistadStandIn(const std::string &mode, const std::string &socket_path,
                             const std::string &log, RunAs user)
    : socket_path_(socket_path) {
	static int started = 0;
	std::string ready = std::string(user == RunAs::Root ? "/run" : "/tmp") + "/zistad-ready-" +
	                    std::to_string(getpid()) + "-" + std::to_string(++started);
	// nobody gets the system's python3 (one found on root's PATH may live
	// in root's home) and a copy of the stand-in under /tmp: the checkout
	// may lie below a directory that only root can enter, such as /root.
	std::vector<std::string> argv = {"python3"};
	std::string script = source_path("standin/zistad.py");
	if (user == RunAs::Nobody) {
		argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3"};
		std::string copy = "/tmp/zistad-" + std::to_string(getpid()) + ".py";
		std::ifstream from(script, std::ios::binary);
		std::ofstream to(copy, std::ios::binary | std::ios::trunc);
		to << from.rdbuf();
		if (!from || !to.flush())
			throw std::runtime_error("cannot copy the stand-in zistad to " + copy);
		chmod(copy.c_str(), 0644);
		script = copy;
	}
	for (const std::string &arg : {script,
	                               std::string("--socket"), socket_path, std::string("--mode"),
	                               mode, std::string("--ready"), ready})
		argv.push_back(arg);
	if (!log.empty()) {
		argv.push_back("--log");
		argv.push_back(log);
	}
	process_ = Process(argv);
	for (int waited = 0; access(ready.c_str(), F_OK) != 0; waited += 20) {
		// Python's start can take seconds on a loaded machine.
		if (waited >= 30000)
			throw std::runtime_error("stand-in zistad did not start at " + socket_path);
		usleep(20000);
	}
	unlink(ready.c_str());
}

ZistadStandIn::~ZistadStandIn() {
	process_.stop();
	unlink(socket_path_.c_str());
}

FdLimit::FdLimit() {
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	saved_ = limit.rlim_cur;
	int lowest_free = open("/dev/null", O_RDONLY); // the lowest free number
	close(lowest_free);
	limit.rlim_cur = static_cast<rlim_t>(lowest_free);
	setrlimit(RLIMIT_NOFILE, &limit);
}

FdLimit::~FdLimit() {
	rlimit limit{};
	getrlimit(RLIMIT_NOFILE, &limit);
	limit.rlim_cur = static_cast<rlim_t>(saved_);
	setrlimit(RLIMIT_NOFILE, &limit);
}

void must_run(const std::string &command) {
	int status = -1;
	std::string out = run_command(command + " 2>&1", &status);
	EXPECT_EQ(status, 0) << command << ": " << out;
}

ArpEntry *arp_entry(const char *ip, const char *mac, const char *device, ArpEntry *next) {
	auto *e = static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry)));
	snprintf(e->ip, sizeof e->ip, "%s", ip);
	snprintf(e->mac, sizeof e->mac, "%s", mac);
	snprintf(e->device, sizeof e->device, "%s", device);
	e->next = next;
	return e;
}

long status_kib(const char *field) {
	std::string status = read_file("/proc/self/status");
	size_t at = status.find(std::string(field) + ":");
	return at == std::string::npos ? -1
	                               : strtol(status.c_str() + at + strlen(field) + 1, nullptr, 10);
}

namespace {

double monotonic_s() {
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

} // namespace

ChildCost cost_in_child(const std::function<void()> &work, void *record, size_t size) {
	int out[2];
	if (pipe(out) != 0)
		return {};
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		close(out[0]);
		ChildCost cost;
#ifdef __GLIBC__
		malloc_trim(0);
#endif
		int fd = open("/proc/self/clear_refs", O_WRONLY);
		bool reset = fd >= 0 && write(fd, "5", 1) == 1; // peak RSS := RSS
		if (fd >= 0)
			close(fd);
		long before = status_kib("VmRSS");
		double start = monotonic_s();
		work();
		cost.seconds = monotonic_s() - start;
		if (reset)
			cost.growth_kib = status_kib("VmHWM") - before;
		cost.reported = true;
		bool sent = write(out[1], &cost, sizeof cost) == sizeof cost &&
		            write(out[1], record, size) == static_cast<ssize_t>(size);
		_exit(sent ? 0 : 1);
	}
	close(out[1]);
	ChildCost cost;
	pollfd p = {out[0], POLLIN, 0};
	if (poll(&p, 1, 30000) != 1 || read(out[0], &cost, sizeof cost) != sizeof cost ||
	    read(out[0], record, size) != static_cast<ssize_t>(size)) {
		cost = ChildCost();
		kill(pid, SIGKILL);
	}
	close(out[0]);
	waitpid(pid, nullptr, 0);
	return cost;
}

} // namespace testing_support
