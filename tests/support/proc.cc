// proc.cc - child process helpers for end-to-end tests.
#include "proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// The fields of /proc/PID/stat that follow the name in parentheses; state
// '?' when the process has gone.
struct proc_stat {
    char state = '?';
    pid_t parent = -1;
    pid_t group = -1;
};

proc_stat stat_of(const std::string &pid) {
    proc_stat st;
    std::string stat = read_file("/proc/" + pid + "/stat");
    size_t paren = stat.rfind(')');
    if (paren != std::string::npos)
        std::istringstream(stat.substr(paren + 1)) >> st.state >> st.parent >> st.group;
    return st;
}

// The processes for which pred holds, in the order /proc lists them.
std::vector<pid_t> procs_where(const std::function<bool(const proc_stat &)> &pred) {
    std::vector<pid_t> found;
    DIR *d = opendir("/proc");
    if (!d) return found;
    while (dirent *e = readdir(d))
        if (pred(stat_of(e->d_name))) found.push_back(atoi(e->d_name));
    closedir(d);
    return found;
}

}  // namespace

bool proc_start(child_proc *p, const std::vector<std::string> &argv, const std::string &dir,
                const std::string &name, bool pipe_stdin) {
    p->out_path = dir + "/" + name + ".out";
    p->err_path = dir + "/" + name + ".err";
    int in[2] = {-1, -1};
    if (pipe_stdin && pipe2(in, O_CLOEXEC) < 0) {
        perror("pipe2()");
        return false;
    }
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork()");
        return false;
    }
    if (pid == 0) {
        int fd_in = pipe_stdin ? in[0] : open("/dev/null", O_RDONLY);
        int fd_out = open(p->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fd_err = open(p->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd_in < 0 || fd_out < 0 || fd_err < 0) _exit(126);
        dup2(fd_in, 0);
        dup2(fd_out, 1);
        dup2(fd_err, 2);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    if (pipe_stdin) {
        close(in[0]);
        p->stdin_fd = in[1];
    }
    p->pid = pid;
    return true;
}

bool proc_send(child_proc *p, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(p->stdin_fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void proc_close_stdin(child_proc *p) {
    if (p->stdin_fd >= 0) close(p->stdin_fd);
    p->stdin_fd = -1;
}

bool proc_wait(child_proc *p, int timeout_ms, int *status) {
    if (p->pid < 0) return false;
    bool ended = wait_until(
        [&] {
            pid_t r = waitpid(p->pid, status, WNOHANG);
            return r == p->pid;
        },
        timeout_ms);
    if (ended) p->pid = -1;
    return ended;
}

void proc_kill(child_proc *p) {
    proc_close_stdin(p);
    if (p->pid < 0) return;
    kill(p->pid, SIGKILL);
    int status;
    while (waitpid(p->pid, &status, 0) < 0 && errno == EINTR) {
    }
    p->pid = -1;
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::string make_temp_dir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mcast-test.XXXXXX";
    if (!mkdtemp(tmpl.data())) return "";
    return tmpl;
}

void remove_tree(const std::string &dir) {
    if (dir.empty() || dir == "/") return;
    run_shell("rm -rf '" + dir + "'");
}

int run_shell(const std::string &cmd) {
    int st = system(cmd.c_str());
    if (st == -1 || !WIFEXITED(st)) return -1;
    return WEXITSTATUS(st);
}

std::string blocked_call(pid_t pid) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/syscall");
    return s.substr(0, s.find(' '));
}

bool blocked_in(pid_t pid, long nr) {
    return blocked_call(pid) == std::to_string(nr);
}

bool proc_gone(pid_t pid) {
    char state = stat_of(std::to_string(pid)).state;
    return state == '?' || state == 'Z';
}

pid_t child_of(pid_t parent) {
    std::vector<pid_t> found =
        procs_where([&](const proc_stat &st) { return st.parent == parent; });
    return found.empty() ? -1 : found.back();
}

std::vector<pid_t> live_in_group(pid_t pgid) {
    return procs_where([&](const proc_stat &st) { return st.group == pgid && st.state != 'Z'; });
}

double process_cpu_s(pid_t pid, int *threads) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(tasks.c_str());
    *threads = 0;
    if (!d) return -1;
    unsigned long long total = 0;
    for (dirent *e; (e = readdir(d));) {
        if (e->d_name[0] == '.') continue;
        std::string stat = read_file(tasks + "/" + e->d_name + "/schedstat");
        total += strtoull(stat.c_str(), nullptr, 10);
        (*threads)++;
    }
    closedir(d);
    return static_cast<double>(total) / 1e9;
}
