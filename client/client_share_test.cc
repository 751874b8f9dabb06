// Sharing a host: with --reuse-address the client binds the radio's port
// beside a gateway or another client that makes its address reusable too,
// and each of them hears the channel; without it the client ends at bind,
// as it always has. Inside private network namespaces.
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

// The sockets of this namespace bound to the radio's port.
int sockets_on_port() {
    std::ifstream in("/proc/net/udp");
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(":07C5 ") != std::string::npos;  // 1989
    return n;
}

class ClientShare : public client_e2e_fixture {};

TEST_F(ClientShare, ReuseAddressSharesThePortAndWithoutItTheClientEndsAtBind) {
    REQUIRE_PRIVATE_NETNS();
    if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is missing";
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    struct row {
        const char *name;
        std::vector<std::string> first, second;  // {"gateway"}, or a client's options
        bool shared;                             // else the second ends at bind
    };
    const std::vector<std::string> gateway = {"gateway"}, reuse = {"--reuse-address"}, none;
    const row rows[] = {
        {"a gateway, then a client with it", gateway, reuse, true},
        {"two clients with it, the second by its prefix", reuse, {"--reu"}, true},
        {"a gateway, then a client without it", gateway, none, false},
        {"a client with it, then one without", reuse, none, false},
    };
    const std::string payload = "heard on one host";
    const bytes list = list_of({entry(1, "one\n")}), data = data_msg(1, payload);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<child_proc *> clients;
        for (const auto *options : {&r.first, &r.second}) {
            // The second starts once the first is bound.
            ASSERT_TRUE(options == &r.first ||
                        wait_until([] { return sockets_on_port() == 1; }, WAIT_MS));
            if (*options == gateway) {
                start({STREAM_GATEWAY_PATH, "--listen", "127.0.0.1:8000"}, "gateway", false);
                continue;
            }
            std::string name = "client" + std::to_string(clients.size());
            std::vector<std::string> args = {"-q", "-p", "cat > " + dir + "/" + name + ".heard"};
            args.insert(args.end(), options->begin(), options->end());
            clients.push_back(client(args, name));
        }
        if (!r.shared) {
            EXPECT_EQ(1, finish(clients.back()));
            EXPECT_EQ("bind(): Address already in use\n", err(clients.back()));
            clients.pop_back();
        }
        ASSERT_TRUE(wait_until([&] { return sockets_on_port() == (r.shared ? 2 : 1); }, WAIT_MS));
        ASSERT_TRUE(send_now(server, std::string(list.begin(), list.end())));
        for (child_proc *c : clients) {
            ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
            ASSERT_TRUE(proc_send(c, "1\n"));  // what comes meanwhile waits in its socket
        }
        ASSERT_TRUE(send_now(server, std::string(data.begin(), data.end())));
        for (size_t i = 0; i < clients.size(); i++)
            EXPECT_TRUE(file_is(dir + "/client" + std::to_string(i) + ".heard", payload));
        if (r.first == gateway) {
            const std::string counted =
                "curl -s --max-time 5 http://127.0.0.1:8000/status.json"
                " | grep -q '\"number\":1,[^}]*\"bytes\":" +
                std::to_string(payload.size()) + ",'";
            EXPECT_TRUE(wait_until([&] { return run_shell(counted) == 0; }, WAIT_MS))
                << "the gateway has not counted the payload of channel 1";
        }
        for (auto &p : procs) proc_kill(&p);
        ASSERT_TRUE(wait_until([] { return sockets_on_port() == 0; }, WAIT_MS));
    }
}

}  // namespace
