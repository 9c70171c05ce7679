// A large body, in each framing (Content-Length, chunked, delimited by the
// close), fetched from a loopback server three ways in the same run:
// Python's urllib reading it into memory, curl writing it to a file on
// tmpfs, and the library (olsr2_get_nodeinfo_raw, the body held in memory
// as one text). Each fetch runs in a process of its own; its transfer time
// is taken inside that process (from the request to the whole body, so
// interpreter and process start-up do not count) and its peak RSS from
// wait4. Prints the best of five rounds, the ratios, and each peak RSS as
// a multiple of the body size.
// Run inside the sandbox (scripts/bench.sh): it serves on 127.0.0.1:1980
// and writes /tmp.
//
//   fetch_bench [MiB]      (default 16, the most a query collects)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "tarvik.h"

namespace {

constexpr int kRounds = 5;
const char kBodyFile[] = "/tmp/fetch-bench-body";
const char kTimeFile[] = "/tmp/fetch-bench-seconds";

double now_s() {
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool wait_port_open(const std::string &url) {
	for (int i = 0; i < 200; i++) {
		std::string cmd = "curl -s -o /dev/null '" + url + "' 2>/dev/null";
		if (system(cmd.c_str()) == 0)
			return true;
		usleep(50000);
	}
	return false;
}

struct Run {
	double seconds; // the transfer, as the process reported it
	long rss_kib;   // the process's peak RSS
};

// The seconds a child wrote to kTimeFile.
bool read_seconds(double *seconds) {
	FILE *f = fopen(kTimeFile, "r");
	if (f == nullptr)
		return false;
	bool ok = fscanf(f, "%lf", seconds) == 1;
	fclose(f);
	unlink(kTimeFile);
	return ok;
}

// Runs `child` in a new process that exits 0 when its fetch was whole and
// wrote its transfer time to kTimeFile.
template <class F>
bool measure(F child, Run *run) {
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0)
		_exit(child() ? 0 : 1);
	int status = 0;
	rusage ru{};
	if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return false;
	run->rss_kib = ru.ru_maxrss;
	return read_seconds(&run->seconds);
}

bool write_seconds(double seconds) {
	FILE *f = fopen(kTimeFile, "w");
	if (f == nullptr)
		return false;
	fprintf(f, "%.6f\n", seconds);
	return fclose(f) == 0;
}

bool library_fetch(const std::string &command, long size) {
	double start = now_s();
	char *text = nullptr;
	int rc = olsr2_get_nodeinfo_raw(command.c_str(), &text);
	double seconds = now_s() - start;
	bool whole = rc == 0 && text != nullptr && static_cast<long>(strlen(text)) == size;
	free(text);
	return whole && write_seconds(seconds);
}

// Runs `argv` in this process, its standard output going to kTimeFile.
bool exec_fetch(const char *const *argv) {
	if (freopen(kTimeFile, "w", stdout) == nullptr)
		return false;
	execvp(argv[0], const_cast<char *const *>(argv));
	return false;
}

struct Best {
	double seconds = 1e9;
	long rss_kib = 0;
	void add(const Run &r) {
		if (r.seconds < seconds)
			seconds = r.seconds;
		if (r.rss_kib > rss_kib)
			rss_kib = r.rss_kib;
	}
};

} // namespace

int main(int argc, char **argv) {
	long mib = argc > 1 ? atol(argv[1]) : 16;
	// A query collects at most TARVIK_MAX_BODY_BYTES.
	if (mib < 1 || mib * 1048576L > TARVIK_MAX_BODY_BYTES) {
		fprintf(stderr, "fetch_bench: the body size must be 1..%d MiB\n",
		        TARVIK_MAX_BODY_BYTES / 1048576);
		return 2;
	}
	long size = mib * 1048576L;
	pid_t server = fork();
	if (server == 0) {
		execlp("python3", "python3", TARVIK_SOURCE_DIR "/standin/olsr_standin.py", "--port",
		       "1980", "--telnet", (char *)nullptr);
		_exit(127);
	}
	if (!wait_port_open("http://127.0.0.1:1980/telnet%2Ffault%2Fbig%2F1")) {
		fprintf(stderr, "fetch_bench: the server did not start (is curl installed?)\n");
		kill(server, SIGKILL);
		return 1;
	}
	std::string python_code =
	    "import sys, time, urllib.request\n"
	    "start = time.monotonic()\n"
	    "body = urllib.request.urlopen(sys.argv[1]).read()\n"
	    "seconds = time.monotonic() - start\n"
	    "assert len(body) == int(sys.argv[2])\n"
	    "print('%f' % seconds)\n";
	std::string size_text = std::to_string(size);
	auto line = [&](const char *name, const Best &b) {
		printf("  %-28s %6.0f MiB/s  (best of %d: %.3f s)  peak RSS %6.1f MiB = %.2f x body\n",
		       name, mib / b.seconds, kRounds, b.seconds, b.rss_kib / 1024.0,
		       b.rss_kib * 1024.0 / size);
	};
	printf("body: %ld MiB from 127.0.0.1 (the stand-in server)\n", mib);

	// The body with a Content-Length (read into one allocation of its
	// size), chunked, and delimited by the close (both collected in blocks).
	for (const char *framing : {"big", "chunked", "close-delimited"}) {
		std::string command = std::string("fault/") + framing + "/" + size_text;
		// What the library requests for olsr2_get_nodeinfo_raw(command).
		char *escaped = curl_easy_escape(("http://127.0.0.1:1980/telnet/" + command).c_str(), 0);
		std::string url = escaped;
		free(escaped);
		const char *python[] = {"python3", "-c", python_code.c_str(), url.c_str(),
		                        size_text.c_str(), nullptr};
		const char *curl[] = {"curl", "-s", "--fail", "-o", kBodyFile, "-w", "%{time_total}\n",
		                      url.c_str(), nullptr};
		Best lib, py, cu;
		for (int round = 0; round < kRounds; round++) {
			auto take = [](auto child, Best *best) {
				Run r{};
				if (!measure(child, &r))
					return false;
				best->add(r);
				return true;
			};
			struct stat written{};
			if (!take([&] { return library_fetch(command, size); }, &lib) ||
			    !take([&] { return exec_fetch(python); }, &py) ||
			    !take([&] { return exec_fetch(curl); }, &cu) || stat(kBodyFile, &written) != 0 ||
			    written.st_size != size) {
				fprintf(stderr, "fetch_bench: a fetch of the %s body failed\n", framing);
				kill(server, SIGKILL);
				return 1;
			}
			unlink(kBodyFile);
		}
		printf("%s body:\n", framing);
		line("library (into memory):", lib);
		line("Python urllib (into memory):", py);
		line("curl (to a tmpfs file):", cu);
		printf("  library / urllib throughput: %.2f\n", py.seconds / lib.seconds);
		printf("  library / curl throughput:   %.2f%s\n", cu.seconds / lib.seconds,
		       framing[0] == 'b' ? " (target >= 1.0)" : "");
		printf("  library peak RSS: %.2f x body%s\n", lib.rss_kib * 1024.0 / size,
		       framing[0] == 'b' ? " (target <= 1.2)" : "");
	}
	kill(server, SIGKILL);
	waitpid(server, nullptr, 0);
	return 0;
}
