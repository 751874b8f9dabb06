// e2e_support.h - what the client's end-to-end tests share: stream messages
// built byte by byte, the client's view of addresses, and a fixture that
// starts the client and the test sender and cleans up after them. The
// including target defines CLIENT_PATH and STREAM_SENDER_PATH.
#pragma once

#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "defaults.h"
#include "netns.h"
#include "proc.h"
#include "proto_encode.h"

using bytes = std::vector<uint8_t>;

// How long a test waits for the network or a process: generous, so that a
// loaded machine (two cores shared with other builds) passes too; a wait
// that holds returns as soon as it does.
constexpr int WAIT_MS = 20000;

// The source address as the client prints it.
inline std::string addr_int(const char *ip) {
    in_addr a;
    inet_pton(AF_INET, ip, &a);
    int32_t v;
    memcpy(&v, &a, sizeof v);
    return std::to_string(v);
}

inline bytes entry(int id, const std::string &desc) {
    bytes e;
    // Sized first: one allocation, and g++ 12 at -O3 no longer takes the
    // pushes into an empty vector for writes past its end (-Wstringop-overflow).
    e.reserve(encode_entry_size(desc));
    encode_list_entry(&e, static_cast<uint8_t>(id), desc);
    return e;
}

inline bytes list_of(const std::vector<bytes> &entries) {
    bytes m = encode_list_start();
    for (const auto &e : entries) m.insert(m.end(), e.begin(), e.end());
    return m;
}

inline bytes data_msg(int id, const std::string &payload) {
    return encode_data(static_cast<uint8_t>(id), payload.data(), payload.size());
}

// A raw datagram argument of the sender.
inline std::string hex(const bytes &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "hex:";
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

// UDP ports with a socket in this namespace.
inline std::set<int> bound_udp_ports() {
    std::set<int> ports;
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local;
        f >> slot >> local;
        size_t colon = local.find(':');
        if (colon != std::string::npos)
            ports.insert(std::stoi(local.substr(colon + 1), nullptr, 16));
    }
    return ports;
}

inline bool port_bound(int port) {
    return bound_udp_ports().count(port) > 0;
}

// The exit status of a wait status, or -1 when it did not exit normally.
inline int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

inline size_t count_of(const std::string &s, const std::string &what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + what.size()))
        n++;
    return n;
}

// Deterministic bytes of every value.
inline std::string pattern_bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (auto &c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// The last n lines of text (its last 400 bytes at most), with bytes that
// are not printable shown as \xNN.
inline std::string last_lines(const std::string &text, int n) {
    size_t end = text.size();
    size_t start = end > 0 && text[end - 1] == '\n' ? end - 1 : end;
    for (int lines = 0; start > 0 && end - start < 400; start--)
        if (text[start - 1] == '\n' && ++lines == n) break;
    std::string shown;
    for (size_t i = start; i < end; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || (c >= ' ' && c < 127)) {
            shown += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        }
    }
    return shown;
}

// What a file holds against what a test waited for: its size, where it
// first differs, and how it ends.
inline ::testing::AssertionResult file_holds(const std::string &path, const std::string &want) {
    std::string got = read_file(path);
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) at++;
    return ::testing::AssertionFailure()
           << path << " holds " << got.size() << " of " << want.size()
           << " bytes wanted, the first difference at byte " << at << "; it ends with:\n"
           << last_lines(got, 5);
}

// Starts the client and the sender as children of the test, their output in
// files of a temporary directory; kills what is left at the end of the test.
// A failed test shows how each process's output ended.
class client_e2e_fixture : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }

    void TearDown() override {
        for (auto &p : procs) proc_kill(&p);
        if (HasFailure()) {
            for (const auto &p : procs) {
                for (const std::string &path : {p.out_path, p.err_path}) {
                    std::string text = read_file(path);
                    printf("%s (%zu bytes) ends with:\n%s\n", path.c_str(), text.size(),
                           last_lines(text, 8).c_str());
                }
            }
        }
        for (int fd : fds) close(fd);
        netns_peer_stop(&peer);
        remove_tree(dir);
    }

    // A UDP socket bound to ip:port in this namespace, to send from; -1 on
    // failure. Closed at the end of the test.
    int source(const char *ip, int port) {
        int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sd < 0) return -1;
        fds.push_back(sd);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip, &a.sin_addr);
        return bind(sd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? sd : -1;
    }

    // Sends one datagram to the default group; true when it went out whole.
    bool send_now(int sd, const std::string &d, int port = DEFAULT_PORT) {
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, DEFAULT_MGROUP, &group.sin_addr);
        return sendto(sd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&group),
                      sizeof group) == static_cast<ssize_t>(d.size());
    }

    child_proc *start(const std::vector<std::string> &argv, const std::string &name,
                      bool stdin_pipe) {
        procs.emplace_back();
        child_proc *p = &procs.back();
        EXPECT_TRUE(proc_start(p, argv, dir, name, stdin_pipe)) << name;
        return p;
    }

    child_proc *client(const std::vector<std::string> &args, const std::string &name = "client") {
        std::vector<std::string> argv = {CLIENT_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return start(argv, name, true);
    }

    // Starts the client with `cat > player_out` as its player and waits
    // until it has bound the default port.
    child_proc *cat_client(const std::string &player_out) {
        child_proc *c = client({"-p", "cat > " + player_out});
        EXPECT_TRUE(wait_until([] { return port_bound(DEFAULT_PORT); }, WAIT_MS));
        return c;
    }

    // Three senders here: the server at 127.0.0.1:40001, one at the
    // server's address but another port, and one at another address.
    struct senders {
        int server, other_port, stranger;
    };
    senders three_senders() {
        senders s = {source("127.0.0.1", 40001), source("127.0.0.1", 40002),
                     source("127.0.0.2", 40001)};
        EXPECT_TRUE(s.server >= 0 && s.other_port >= 0 && s.stranger >= 0);
        return s;
    }

    // Runs the sender to its end; true when it ended with status 0.
    bool send(const std::vector<std::string> &args, const std::vector<std::string> &prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(STREAM_SENDER_PATH);
        argv.insert(argv.end(), args.begin(), args.end());
        child_proc *p = start(argv, "sender" + std::to_string(procs.size()), false);
        int status = 0;
        if (!proc_wait(p, 20000, &status)) return false;
        EXPECT_EQ(0, exit_code(status)) << read_file(p->err_path);
        return exit_code(status) == 0;
    }

    // Raw datagrams from source ip:port to the default group.
    bool send_raw(const char *ip, int port, const std::vector<bytes> &grams,
                  int dest_port = DEFAULT_PORT) {
        std::vector<std::string> args = {
            "-s", ip, "-S", std::to_string(port), "-p", std::to_string(dest_port), "--raw"};
        for (const auto &g : grams) args.push_back(hex(g));
        return send(args);
    }

    // Waits for the process to end; its exit status, or -2 if it did not end.
    int finish(child_proc *p, int timeout_ms = WAIT_MS) {
        int status = 0;
        if (!proc_wait(p, timeout_ms, &status)) return -2;
        return exit_code(status);
    }

    // Waits for the file to hold exactly want; on failure says what it holds.
    ::testing::AssertionResult file_is(const std::string &path, const std::string &want) {
        if (wait_until([&] { return read_file(path) == want; }, WAIT_MS))
            return ::testing::AssertionSuccess();
        return file_holds(path, want);
    }

    std::string out(child_proc *p) { return read_file(p->out_path); }
    std::string err(child_proc *p) { return read_file(p->err_path); }

    std::string dir;
    std::deque<child_proc> procs;  // deque: pointers stay valid
    std::vector<int> fds;          // closed at the end of the test
    netns_peer peer;
};
