/*
 * For the plain C tests: starts the stand-in daemon
 * (standin/olsr_standin.py) on 127.0.0.1:PORT with the answers given as
 * JSON text, and stops it. Runs inside the sandbox (/run is its own).
 * Needs _POSIX_C_SOURCE 200809L or more.
 */
#ifndef TARVIK_TESTS_C_STANDIN_H
#define TARVIK_TESTS_C_STANDIN_H

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The stand-in's pid, ready to answer when this returns; -1 when it did
 * not start within 10 s. */
static pid_t start_standin(const char *port, const char *answers) {
	static const char answers_path[] = "/run/c-standin-answers.json";
	static const char ready_path[] = "/run/c-standin-ready";
	const char *source = getenv("TARVIK_SOURCE_DIR");
	FILE *f = fopen(answers_path, "w");
	if (source == NULL || f == NULL) {
		if (f != NULL)
			fclose(f);
		return -1;
	}
	fputs(answers, f);
	fclose(f);
	unlink(ready_path);
	char script[4096];
	snprintf(script, sizeof script, "%s/standin/olsr_standin.py", source);
	pid_t pid = fork();
	if (pid == 0) {
		execlp("python3", "python3", script, "--port", port, "--answers", answers_path,
		       "--ready", ready_path, (char *)NULL);
		_exit(127);
	}
	const struct timespec pause = {0, 20 * 1000 * 1000};
	for (int waited = 0; pid > 0 && access(ready_path, F_OK) != 0; waited += 20) {
		if (waited >= 10000 || waitpid(pid, NULL, WNOHANG) != 0) {
			kill(pid, SIGKILL);
			waitpid(pid, NULL, 0);
			return -1;
		}
		nanosleep(&pause, NULL);
	}
	return pid;
}

static void stop_standin(pid_t pid) {
	kill(pid, SIGTERM);
	waitpid(pid, NULL, 0);
}

#endif
