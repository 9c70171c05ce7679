// get_url of a large body from a loopback server, against curl fetching
// the same URL in the same run. Prints both throughputs, their ratio, and
// the peak RSS of the fetching process as a multiple of the body size.
// Run inside the sandbox (scripts/bench.sh): it serves on 127.0.0.1:9090.
//
//   fetch_bench [MiB]      (default 256)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "internal.h"
#include "tarvik.h"
#include "uclient.h"

namespace {

double now_s() {
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool wait_port_open(const std::string &url) {
	for (int i = 0; i < 200; i++) {
		std::string cmd = "curl -s -o /dev/null " + url + " 2>/dev/null";
		if (system(cmd.c_str()) == 0)
			return true;
		usleep(50000);
	}
	return false;
}

// Runs `child` in a new process; its wall time and peak RSS (KiB).
template <class F>
bool measure(F child, double *seconds, long *maxrss_kib) {
	double start = now_s();
	pid_t pid = fork();
	if (pid == 0)
		_exit(child() ? 0 : 1);
	int status = 0;
	rusage ru{};
	wait4(pid, &status, 0, &ru);
	*seconds = now_s() - start;
	*maxrss_kib = ru.ru_maxrss;
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char **argv) {
	long mib = argc > 1 ? atol(argv[1]) : 256;
	// The body and its NUL must fit the library's 32-bit lengths; this
	// also keeps `size` within a 32-bit long.
	if (mib < 1 || mib > 2047) {
		fprintf(stderr, "fetch_bench: the body size must be 1..2047 MiB\n");
		return 2;
	}
	long size = mib * 1048576L;
	pid_t server = fork();
	if (server == 0) {
		execlp("python3", "python3", TARVIK_SOURCE_DIR "/standin/olsr_standin.py", "--port",
		       "9090", (char *)nullptr);
		_exit(127);
	}
	std::string path = "fault/big/" + std::to_string(size);
	std::string url = "http://127.0.0.1:9090/" + path;
	char *escaped = curl_easy_escape(url.c_str(), 0);
	std::string escaped_url = escaped;
	free(escaped);
	if (!wait_port_open("http://127.0.0.1:9090/fault/big/1")) {
		fprintf(stderr, "fetch_bench: the server did not start (is curl installed?)\n");
		kill(server, SIGKILL);
		return 1;
	}

	double best_get = 1e9, best_curl = 1e9;
	long rss_kib = 0;
	for (int round = 0; round < 3; round++) {
		double s;
		long rss;
		bool ok = measure(
		    [&] {
			    QueryResult qr{};
			    qr.body = get_all_data_init();
			    tarvik::uloop_init();
			    int rc = get_url(url.c_str(), tarvik::fetch_data_read, tarvik::finish_raw, &qr, -1);
			    tarvik::uloop_done();
			    bool good = rc == 0 && qr.error == 0 && qr.length == size + 1;
			    free(qr.value);
			    tarvik::body_buffer_free(qr.body);
			    return good;
		    },
		    &s, &rss);
		if (!ok) {
			fprintf(stderr, "fetch_bench: get_url failed\n");
			kill(server, SIGKILL);
			return 1;
		}
		if (s < best_get)
			best_get = s;
		if (rss > rss_kib)
			rss_kib = rss;
		std::string cmd = "curl -s -o /dev/null '" + escaped_url + "'";
		double start = now_s();
		if (system(cmd.c_str()) != 0) {
			fprintf(stderr, "fetch_bench: curl failed\n");
			kill(server, SIGKILL);
			return 1;
		}
		double c = now_s() - start;
		if (c < best_curl)
			best_curl = c;
	}
	kill(server, SIGKILL);
	waitpid(server, nullptr, 0);

	double get_mibs = mib / best_get, curl_mibs = mib / best_curl;
	printf("body: %ld MiB\n", mib);
	printf("get_url: %.0f MiB/s (best of 3: %.3f s)\n", get_mibs, best_get);
	printf("curl:    %.0f MiB/s (best of 3: %.3f s)\n", curl_mibs, best_curl);
	printf("throughput ratio get_url/curl: %.2f (target >= 0.25)\n", get_mibs / curl_mibs);
	printf("peak RSS of the fetch: %.1f MiB = %.2f x body (target <= 2.1)\n", rss_kib / 1024.0,
	       rss_kib * 1024.0 / size);
	return 0;
}
