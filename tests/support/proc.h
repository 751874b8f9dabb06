// proc.h - start, feed, wait for and reap child processes in end-to-end tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct child_proc {
    pid_t pid = -1;
    int stdin_fd = -1;     // write end of the child's standard input, or -1
    std::string out_path;  // file that receives the child's standard output
    std::string err_path;  // file that receives the child's standard error
};

// Starts argv (argv[0] is looked up on PATH) with standard output and error
// sent to files named NAME.out and NAME.err in dir. With pipe_stdin the child
// reads a pipe whose write end is p->stdin_fd; else it reads /dev/null.
// Returns false (and says why on stderr) when the child cannot be started.
bool proc_start(child_proc *p, const std::vector<std::string> &argv, const std::string &dir,
                const std::string &name, bool pipe_stdin);

// Writes text to the child's standard input; false if that fails.
bool proc_send(child_proc *p, const std::string &text);

// Closes the child's standard input (it then reads end of file).
void proc_close_stdin(child_proc *p);

// Waits up to timeout_ms for the child to end. True when it ended; *status
// then holds its wait status and p->pid is -1.
bool proc_wait(child_proc *p, int timeout_ms, int *status);

// Kills the child with SIGKILL (if still running) and reaps it.
void proc_kill(child_proc *p);

// Polls pred every 10 ms until it holds or timeout_ms have passed.
bool wait_until(const std::function<bool()> &pred, int timeout_ms);

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string &path);

// Writes data to path (replacing it); false on failure.
bool write_file(const std::string &path, const std::string &data);

// A new empty directory under TMPDIR (or /tmp), removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &dir);

// Runs a shell command line and returns its exit status (-1 if it did not exit).
int run_shell(const std::string &cmd);

// Looking at other processes through /proc.
// The number of the system call pid is blocked in, "running", or "" when it
// has gone (the first field of /proc/PID/syscall).
std::string blocked_call(pid_t pid);
bool blocked_in(pid_t pid, long nr);
// Gone, or a zombie that nobody has reaped yet.
bool proc_gone(pid_t pid);
// A child of parent (the last one found), or -1 when it has none.
pid_t child_of(pid_t parent);
// The processes of process group pgid that have not ended: zombies, which a
// parent that does not reap keeps for ever, do not count.
std::vector<pid_t> live_in_group(pid_t pgid);
// Run time of all of pid's threads, in seconds (the scheduler's nanosecond
// counts, /proc/PID/task/*/schedstat); *threads their count.
double process_cpu_s(pid_t pid, int *threads);
