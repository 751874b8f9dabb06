// mdns.cc - a test's own D-Bus system bus and avahi-daemon.
#include "mdns.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The bus lets everyone own and call anything: it has the responder and
// the test's programs on it alone.
std::string bus_config(const std::string &socket) {
    return "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:path=" + socket + "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

std::string responder_config(const std::string &host, const std::string &iface) {
    return "[server]\n"
           "host-name=" + host + "\n"
           "use-ipv4=yes\n"
           "use-ipv6=no\n"
           "allow-interfaces=" + iface + "\n"
           "enable-dbus=yes\n"
           "ratelimit-interval-usec=1000000\n"
           "ratelimit-burst=1000\n"
           "[wide-area]\n"
           "enable-wide-area=no\n"
           "[publish]\n"
           "publish-hinfo=no\n"
           "publish-workstation=no\n"
           "publish-aaaa-on-ipv4=no\n";
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

std::string mdns_host_start(mdns_host *h, const std::vector<std::string> &prefix,
                            const std::string &dir, const std::string &name,
                            const std::string &host, const std::string &iface) {
    if (geteuid() != 0) return "the responder's own namespaces need root";
    if (access("/usr/sbin/avahi-daemon", X_OK) != 0) return "avahi-daemon is not installed";
    std::string d = dir + "/" + name;
    if (mkdir(d.c_str(), 0755) < 0) return "cannot make " + d;
    std::string socket = d + "/bus";
    h->bus_address = "unix:path=" + socket;
    if (!write_file(d + "/bus.conf", bus_config(socket)) ||
        !write_file(d + "/avahi-daemon.conf", responder_config(host, iface)))
        return "cannot write the configuration files";
    if (!proc_start(&h->bus,
                    joined(prefix, {"dbus-daemon", "--nofork", "--nopidfile",
                                    "--config-file=" + d + "/bus.conf"}),
                    d, "dbus-daemon", false))
        return "cannot start dbus-daemon";
    if (!wait_until([&] { return access(socket.c_str(), F_OK) == 0; }, 5000)) {
        mdns_host_stop(h);
        return "dbus-daemon did not make its socket: " + read_file(h->bus.err_path);
    }
    // /run/avahi-daemon (its PID file and socket) on a tmpfs of its own.
    std::string script = "hostname " + host +
                         " && mount -t tmpfs tmpfs /run && mkdir /run/avahi-daemon && "
                         "exec avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title "
                         "-f " + d + "/avahi-daemon.conf";
    std::vector<std::string> argv = joined(prefix, mdns_host_env(*h));
    argv = joined(argv, {"unshare", "-m", "-u", "--propagation", "private", "sh", "-c", script});
    if (!proc_start(&h->responder, argv, d, "avahi-daemon", false)) {
        mdns_host_stop(h);
        return "cannot start avahi-daemon";
    }
    auto started = [&] {
        return read_file(h->responder.err_path).find("Server startup complete") !=
                   std::string::npos ||
               read_file(h->responder.out_path).find("Server startup complete") !=
                   std::string::npos;
    };
    if (!wait_until(started, 10000)) {
        std::string err = read_file(h->responder.err_path);
        mdns_host_stop(h);
        return "avahi-daemon did not start: " + err;
    }
    return "";
}

std::vector<std::string> mdns_host_env(const mdns_host &h) {
    return {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + h.bus_address};
}

void mdns_host_stop(mdns_host *h) {
    if (h->responder.pid > 0) proc_kill(&h->responder);
    if (h->bus.pid > 0) proc_kill(&h->bus);
}
