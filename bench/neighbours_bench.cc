// Benchmark of the neighbours document and of the ARP probe.
//
//   neighbours_bench [CALLS]      (default 20; scripts/bench.sh runs it)
//
// Must run inside the sandbox (tests/sandbox/sandbox): it writes the site configuration and init
// scripts, listens on olsrd's port with the stand-in daemon, and makes a
// veth pair "mesh0" to a namespace "benchpeer" (addresses of the
// benchmarking range 198.18.0.0/15).
//
// Figures:
//  - provider_neighbours with 1000 olsrd links and a 1000-row ARP table
//    in which every link is found: time per call;
//  - the MAC lookup of one such call (read_arp_cache, 1000 resolve_mac,
//    cleanup_arp_cache), and its share of the call;
//  - yardstick: the bare "links" query of the same answer (HTTP + parse),
//    measured in the same run;
//  - one ARP probe to a live neighbour on the veth pair, and to an
//    address nobody holds (the bound);
//  - olsr1_get_neigh with 1, 5 and 20 silent olsrd links (addresses
//    nobody holds, missing from the ARP table), and with 20 listed twice.
#include <json-c/json.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "neighbours.h"
#include "tarvik.h"

namespace {

constexpr int kLinks = 1000;

double clock_ms(clockid_t clock) {
	timespec t;
	clock_gettime(clock, &t);
	return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double now_ms() { return clock_ms(CLOCK_MONOTONIC); }

// This process's CPU time: what the machine's other load does not add to
// (the stand-in daemon and the init scripts run in other processes).
double cpu_ms() { return clock_ms(CLOCK_PROCESS_CPUTIME_ID); }

// Wall and CPU time of one run of `f`.
struct Timing {
	std::vector<double> wall, cpu;
	template <class F>
	void run(F f) {
		double w = now_ms(), c = cpu_ms();
		f();
		cpu.push_back(cpu_ms() - c);
		wall.push_back(now_ms() - w);
	}
};

double median(std::vector<double> v) {
	std::sort(v.begin(), v.end());
	return v[v.size() / 2];
}

bool sh(const std::string &command) {
	if (system(command.c_str()) != 0) {
		fprintf(stderr, "failed: %s\n", command.c_str());
		return false;
	}
	return true;
}

bool write_text(const char *path, const std::string &text, mode_t mode = 0644) {
	FILE *f = fopen(path, "w");
	if (f == nullptr)
		return false;
	fwrite(text.data(), 1, text.size(), f);
	fclose(f);
	chmod(path, mode);
	return true;
}

std::string neighbour_ip(int i) {
	return "198.18." + std::to_string(10 + i / 250) + "." + std::to_string(1 + i % 250);
}

std::string neighbour_mac(int i) {
	char mac[18];
	snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", i / 256, i % 256);
	return mac;
}

// The stand-in's answer file: `links` served as it stands ("$raw"), so
// that the stand-in spends no time on re-encoding it.
bool write_links_answer(const std::string &links) {
	std::string answers = R"({"links":{"$raw":")";
	for (char c : links)
		answers += c == '"' ? std::string("\\\"") : std::string(1, c);
	answers += "\"}}";
	return write_text("/run/bench-olsrd.json", answers);
}

// A "links" answer of `count` olsrd links on mesh0 to addresses nobody
// holds (outside the ARP table), each listed `times` times.
std::string silent_links(int count, int times) {
	std::string links = R"({"links":[)";
	for (int t = 0; t < times; t++)
		for (int i = 0; i < count; i++) {
			links += t + i ? "," : "";
			links += R"({"remoteIP":"198.19.0.)" + std::to_string(1 + i) +
			         R"(","ifName":"mesh0","linkQuality":1,"neighborLinkQuality":1})";
		}
	return links + "]}";
}

bool set_up_node() {
	if (!sh("ip netns add benchpeer && ip link add dev mesh0 type veth peer name peer0 && "
	        "ip link set dev peer0 netns benchpeer && "
	        "ip link set dev mesh0 address 02:00:00:00:ff:00 && "
	        "ip addr add 198.18.0.1/15 dev mesh0 && ip link set dev mesh0 up && "
	        "ip -n benchpeer addr add 198.18.0.2/15 dev peer0 && "
	        "ip -n benchpeer link set dev peer0 up"))
		return false;
	std::string batch;
	for (int i = 0; i < kLinks; i++)
		batch += "neigh add " + neighbour_ip(i) + " lladdr " + neighbour_mac(i) +
		         " dev mesh0 nud permanent\n";
	if (!write_text("/tmp/bench-neigh.batch", batch) || !sh("ip -batch /tmp/bench-neigh.batch"))
		return false;

	std::string links = R"({"links":[)";
	for (int i = 0; i < kLinks; i++) {
		links += i ? "," : "";
		links += R"({"localIP":"198.18.0.1","remoteIP":")" + neighbour_ip(i) +
		         R"(","olsrInterface":"mesh0","ifName":"mesh0","validityTime":30000,)"
		         R"("symmetryTime":28000,"asymmetryTime":0,"vtime":30000,"currentLinkStatus":"SYMMETRIC",)"
		         R"("previousLinkStatus":"SYMMETRIC","hysteresis":0,"pending":false,"lostLinkTime":0,)"
		         R"("helloTime":0,"lastHelloTime":0,"seqnoValid":false,"seqno":0,"lossHelloInterval":3000,)"
		         R"("lossTime":3000,"lossMultiplier":65536,"linkCost":1.5,"linkQuality":0.9,)"
		         R"("neighborLinkQuality":0.8})";
	}
	links += "]}";
	mkdir("/etc/plovan", 0755);
	return write_text("/etc/plovan/site.json",
	                  R"({"mesh":{"olsrd":{"v1_4":{"enable":true},"v2":{"enable":false}}}})") &&
	       write_text("/etc/init.d/olsrd", "#!/bin/sh\nexit 0\n", 0755) &&
	       write_links_answer(links);
}

pid_t start_olsrd() {
	std::string script = TARVIK_SOURCE_DIR "/standin/olsr_standin.py";
	pid_t pid = fork();
	if (pid == 0) {
		execlp("python3", "python3", script.c_str(), "--port", "9090", "--answers",
		       "/run/bench-olsrd.json", static_cast<char *>(nullptr));
		_exit(127);
	}
	// Bounded wait until it answers.
	for (int i = 0; i < 500; i++) {
		json_object *answer = nullptr;
		if (olsr1_get_nodeinfo("links", &answer) == 0) {
			json_object_put(answer);
			return pid;
		}
		usleep(20000);
	}
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	return -1;
}

} // namespace

int main(int argc, char **argv) {
	int calls = argc > 1 ? atoi(argv[1]) : 20;
	if (calls < 1)
		calls = 1;
	// It writes /etc and makes namespaces: never outside the sandbox,
	// which marks its private /run.
	if (access("/run/.sandbox", F_OK) != 0) {
		fprintf(stderr, "run inside tests/sandbox/sandbox (scripts/bench.sh does)\n");
		return 2;
	}
	if (!set_up_node())
		return 1;
	pid_t daemon = start_olsrd();
	if (daemon < 0) {
		fprintf(stderr, "stand-in olsrd did not start\n");
		return 1;
	}

	// Check once that every link is found in the table.
	json_object *doc = provider_neighbours();
	json_object *batadv = doc ? json_object_object_get(doc, "batadv") : nullptr;
	json_object *iface = batadv ? json_object_object_get(batadv, "02:00:00:00:ff:00") : nullptr;
	json_object *neigh = iface ? json_object_object_get(iface, "neighbours") : nullptr;
	int found = neigh ? json_object_object_length(neigh) : -1;
	json_object_put(doc);
	if (found != kLinks) {
		fprintf(stderr, "expected %d neighbours in the document, got %d\n", kLinks, found);
		kill(daemon, SIGKILL);
		waitpid(daemon, nullptr, 0);
		return 1;
	}

	Timing provider, query, lookup;
	for (int i = 0; i < calls; i++) {
		provider.run([] { json_object_put(provider_neighbours()); });
		query.run([] {
			json_object *answer = nullptr;
			olsr1_get_nodeinfo("links", &answer);
			json_object_put(answer);
		});
		lookup.run([] {
			ArpEntry *arp = read_arp_cache();
			for (int l = 0; l < kLinks; l++)
				free(resolve_mac(arp, "mesh0", neighbour_ip(l).c_str(), 1));
			cleanup_arp_cache(arp);
		});
	}
	// Silent links: every one is probed, none answers.
	struct Silent {
		int count, times;
		double ms;
	} silent[] = {{1, 1, 0}, {5, 1, 0}, {20, 1, 0}, {20, 2, 0}};
	for (Silent &row : silent) {
		if (!write_links_answer(silent_links(row.count, row.times)))
			return 1;
		double t0 = now_ms();
		json_object_put(olsr1_get_neigh());
		row.ms = now_ms() - t0;
	}
	kill(daemon, SIGKILL);
	waitpid(daemon, nullptr, 0);

	std::vector<double> live, dead;
	for (int i = 0; i < calls; i++) {
		double t0 = now_ms();
		ArpEntry *e = test_arping("mesh0", "198.18.0.2");
		live.push_back(now_ms() - t0);
		if (e == nullptr) {
			fprintf(stderr, "the live neighbour did not answer\n");
			return 1;
		}
		free(e);
	}
	for (int i = 0; i < 3; i++) {
		double t0 = now_ms();
		free(test_arping("mesh0", "198.18.0.99"));
		dead.push_back(now_ms() - t0);
	}

	double p = median(provider.wall), q = median(query.wall), m = median(lookup.wall);
	double pc = median(provider.cpu), qc = median(query.cpu), mc = median(lookup.cpu);
	printf("provider_neighbours, %d olsrd links, %d-row ARP table (median of %d calls):\n",
	       kLinks, kLinks, calls);
	printf("                                    wall        CPU of this process\n");
	printf("  per call                      %8.2f ms   %8.2f ms   (target < 50 ms)\n", p, pc);
	printf("  MAC lookup (table + lookups)  %8.2f ms   %8.2f ms   share %.1f %% (wall), %.1f %% (CPU)\n",
	       m, mc, 100.0 * m / p, 100.0 * mc / pc);
	printf("  yardstick: bare links query   %8.2f ms   %8.2f ms   call / yardstick %.2f (wall)\n", q,
	       qc, p / q);
	printf("ARP probe on veth (median):\n");
	printf("  live neighbour                %8.3f ms   (target < 10 ms; %d probes)\n",
	       median(live), calls);
	printf("  dead address (the bound)      %8.1f ms   (3 probes, max %.1f ms)\n", median(dead),
	       *std::max_element(dead.begin(), dead.end()));
	printf("olsr1_get_neigh with silent olsrd links (one call each):\n");
	for (const Silent &row : silent)
		printf("  %2d link%s%-13s        %8.1f ms   (target < 1500 ms)\n", row.count,
		       row.count == 1 ? " " : "s", row.times > 1 ? ", each twice" : "", row.ms);
	sh("ip link del dev mesh0; ip netns del benchpeer");
	return 0;
}
