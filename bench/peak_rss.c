/* peak_rss COMMAND [ARGS...]: runs COMMAND and prints its peak resident
 * set size in KiB on standard error. The kernel counts the memory of the
 * process that exec'd into COMMAND too, so this launcher is kept small
 * (plain C, vfork): measuring from a large parent would report the
 * parent's size. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	struct rusage ru;
	int status;
	pid_t pid;

	if (argc < 2) {
		fprintf(stderr, "usage: peak_rss COMMAND [ARGS...]\n");
		return 2;
	}
	pid = vfork();
	if (pid < 0)
		return 2;
	if (pid == 0) {
		execvp(argv[1], argv + 1);
		_exit(127);
	}
	if (wait4(pid, &status, 0, &ru) != pid)
		return 2;
	fprintf(stderr, "peak_rss %ld\n", ru.ru_maxrss);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
