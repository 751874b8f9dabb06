// Sharing a host: with --reuse-address the client binds the radio's port
// beside a gateway or another client that makes its address reusable too,
// and each of them hears the channel; without it the client ends at bind,
// as it always has. Inside private network namespaces.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

constexpr int PORT = DEFAULT_PORT;

std::string text_of(const bytes &b) {
    return std::string(b.begin(), b.end());
}

// The sockets of this namespace bound to UDP port.
int sockets_on(int port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    int n = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local;
        f >> slot >> local;
        size_t colon = local.find(':');
        if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            n++;
    }
    return n;
}

// The bytes of channel 1 that the gateway counts in /status.json; -1 when
// it cannot be asked.
long gateway_bytes_of_channel_1() {
    FILE *p = popen("curl -s --max-time 5 http://127.0.0.1:8000/status.json", "r");
    if (p == nullptr) return -1;
    std::string status;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) status.append(buf, n);
    pclose(p);
    size_t ch = status.find("{\"number\":1,");
    size_t at = ch == std::string::npos ? ch : status.find("\"bytes\":", ch);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 8);
}

class ClientShare : public client_e2e_fixture {
protected:
    // A gateway (name "gateway"), or a client with these options and `cat`
    // into dir/NAME.heard as its player.
    child_proc *listener(const std::string &name, const std::vector<std::string> &options) {
        if (name == "gateway") {
            child_proc *g = start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000"}, name, false);
            EXPECT_TRUE(wait_until([&] { return err(g).find("listening on") != std::string::npos; },
                                   WAIT_MS))
                << err(g);
            return g;
        }
        std::vector<std::string> args = {"-q", "-p", "cat > " + dir + "/" + name + ".heard"};
        args.insert(args.end(), options.begin(), options.end());
        return client(args, name);
    }
};

TEST_F(ClientShare, ReuseAddressSharesThePortAndWithoutItTheClientEndsAtBind) {
    REQUIRE_PRIVATE_NETNS();
    if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is missing";
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    struct row {
        const char *name;
        const char *first;  // "gateway", or a client
        std::vector<std::string> first_options, second_options;
        bool shared;  // else the second ends at bind
    };
    const std::vector<std::string> reuse = {"--reuse-address"}, none;
    const row rows[] = {
        {"a gateway, then a client with it", "gateway", none, reuse, true},
        {"two clients with it, the second by its prefix", "first", reuse, {"--r"}, true},
        {"a gateway, then a client without it", "gateway", none, none, false},
        {"a client with it, then one without", "first", reuse, none, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        child_proc *first = listener(r.first, r.first_options);
        ASSERT_TRUE(wait_until([] { return sockets_on(PORT) == 1; }, WAIT_MS));
        child_proc *second = listener("second", r.second_options);
        if (!r.shared) {
            EXPECT_EQ(1, finish(second));
            EXPECT_EQ("bind(): Address already in use\n", err(second));
        } else {
            ASSERT_TRUE(wait_until([] { return sockets_on(PORT) == 2; }, WAIT_MS));
        }
        std::vector<child_proc *> clients = {second};
        if (r.first != std::string("gateway")) clients.insert(clients.begin(), first);
        if (!r.shared) clients.pop_back();
        ASSERT_TRUE(send_now(server, text_of(list_of({entry(1, "one\n")}))));
        for (child_proc *c : clients) {
            ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
            ASSERT_TRUE(proc_send(c, "1\n"));
        }
        // Data that comes before a client has read its choice waits in its socket.
        const std::string payload = "heard on one host";
        ASSERT_TRUE(send_now(server, text_of(data_msg(1, payload))));
        for (child_proc *c : clients) {
            std::string name = c == first ? "first" : "second";
            EXPECT_TRUE(file_is(dir + "/" + name + ".heard", payload)) << name;
        }
        if (r.first == std::string("gateway")) {
            EXPECT_TRUE(wait_until(
                [&] { return gateway_bytes_of_channel_1() == static_cast<long>(payload.size()); },
                WAIT_MS))
                << "the gateway counts " << gateway_bytes_of_channel_1() << " bytes";
        }
        for (auto &p : procs) proc_kill(&p);
        ASSERT_TRUE(wait_until([] { return sockets_on(PORT) == 0; }, WAIT_MS));
    }
}

}  // namespace
