// olsr-kavond --check: the node explains itself to its operator.
#ifndef OLSR_KAVOND_CHECK_H
#define OLSR_KAVOND_CHECK_H

// Walks the path that the documents take (site configuration, each
// enabled routing daemon, neighbours, interfaces, statistics, cache
// files) and prints one line per finding on standard output, each
// beginning with "ok", "warn" or "FAIL", with a hint under every warn and
// FAIL. Each stage runs in a child process that is killed at the stage's
// deadline, so the check never hangs on a daemon that does not answer.
// Writes no file; the only thing it sends besides the documents' queries
// are the ARP requests of the neighbours stage. Returns the exit status:
// 0 when nothing failed, 1 otherwise.
namespace kavond {
int check();
} // namespace kavond

#endif
