// dnssd.cc - services announced and browsed for through Avahi's client
// library.
#include "dnssd.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <avahi-client/lookup.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/strlst.h>

#include "mono_clock.h"

#ifdef __SANITIZE_THREAD__
// libdbus, under Avahi's client, takes two of its own locks in either
// order on one thread; no lock of this program is among them.
extern "C" const char *__tsan_default_suppressions() {
    return "deadlock:libdbus-1.so\n";
}
#endif

namespace {

// How many alternative names a clash on this host itself may try.
constexpr int RENAMES_MAX = 16;

// txt as Avahi's list, in order (avahi_string_list_add puts each first).
AvahiStringList *string_list(const std::vector<std::string> &txt) {
    AvahiStringList *l = nullptr;
    for (auto s = txt.rbegin(); s != txt.rend(); ++s) l = avahi_string_list_add(l, s->c_str());
    return l;
}

// The next name Avahi proposes ("Radio #2"), said on report.
void take_alternative(dnssd_announce *a) {
    char *alt = avahi_alternative_service_name(a->name.c_str());
    fprintf(a->report, "the name '%s' is taken on the LAN; announced as '%s' instead\n",
            a->name.c_str(), alt);
    a->name = alt;
    avahi_free(alt);
}

void group_changed(AvahiEntryGroup *g, AvahiEntryGroupState state, void *arg);

// Adds the service to the (empty) group and commits it; a name this host
// already has is renamed as Avahi proposes.
void publish(dnssd_announce *a, AvahiClient *c) {
    if (a->group == nullptr) a->group = avahi_entry_group_new(c, group_changed, a);
    if (a->group == nullptr) {
        fprintf(a->report, "not announced: %s\n", avahi_strerror(avahi_client_errno(c)));
        return;
    }
    if (!avahi_entry_group_is_empty(a->group)) return;
    int err = AVAHI_ERR_COLLISION;
    for (int i = 0; i < RENAMES_MAX && err == AVAHI_ERR_COLLISION; i++) {
        AvahiStringList *l = string_list(a->txt);
        err = avahi_entry_group_add_service_strlst(
            a->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
            a->name.c_str(), a->type.c_str(), nullptr, nullptr, static_cast<uint16_t>(a->port), l);
        avahi_string_list_free(l);
        if (err == AVAHI_ERR_COLLISION) take_alternative(a);
    }
    if (err == AVAHI_OK) err = avahi_entry_group_commit(a->group);
    if (err != AVAHI_OK) fprintf(a->report, "not announced: %s\n", avahi_strerror(err));
}

void group_changed(AvahiEntryGroup *g, AvahiEntryGroupState state, void *arg) {
    auto *a = static_cast<dnssd_announce *>(arg);
    AvahiClient *c = avahi_entry_group_get_client(g);
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        fprintf(a->report, "announced on the LAN as '%s' (%s)\n", a->name.c_str(), a->type.c_str());
        break;
    case AVAHI_ENTRY_GROUP_COLLISION:  // another host has the name
        take_alternative(a);
        avahi_entry_group_reset(g);
        publish(a, c);
        break;
    case AVAHI_ENTRY_GROUP_FAILURE:
        fprintf(a->report, "the announcement failed: %s\n", avahi_strerror(avahi_client_errno(c)));
        break;
    default:
        break;
    }
}

bool connect_client(dnssd_announce *a);

void client_changed(AvahiClient *c, AvahiClientState state, void *arg) {
    auto *a = static_cast<dnssd_announce *>(arg);
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        a->said_waiting = false;
        publish(a, c);
        break;
    case AVAHI_CLIENT_S_COLLISION:  // the host's own name clashes: Avahi renames it
    case AVAHI_CLIENT_S_REGISTERING:
        if (a->group) avahi_entry_group_reset(a->group);
        break;
    case AVAHI_CLIENT_CONNECTING:
        if (!a->said_waiting)
            fprintf(a->report,
                    "not announced yet: no avahi-daemon answers; announced when one does\n");
        a->said_waiting = true;
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(c) != AVAHI_ERR_DISCONNECTED) {
            fprintf(a->report, "not announced: %s\n", avahi_strerror(avahi_client_errno(c)));
            break;
        }
        // The daemon went away: a new client waits for the next one. The
        // group goes with the old client.
        fprintf(a->report, "avahi-daemon has gone; announced again when it comes back\n");
        a->said_waiting = true;
        avahi_client_free(c);
        a->client = nullptr;
        a->group = nullptr;
        connect_client(a);
        break;
    }
}

// A client that waits for the daemon when none runs. False after a line
// when there is none to be had (no system bus).
bool connect_client(dnssd_announce *a) {
    int err = 0;
    a->client = avahi_client_new(avahi_threaded_poll_get(a->poll), AVAHI_CLIENT_NO_FAIL,
                                 client_changed, a, &err);
    if (a->client) return true;
    fprintf(a->report, "not announced: %s\n", avahi_strerror(err));
    return false;
}

// TXT strings handed over by dnssd_announce_txt, on Avahi's thread.
void take_txt(AvahiWatch *, int fd, AvahiWatchEvent, void *arg) {
    auto *a = static_cast<dnssd_announce *>(arg);
    uint64_t n;
    if (read(fd, &n, sizeof n) < 0) return;
    pthread_mutex_lock(&a->handover);
    bool changed = a->next_txt != a->txt;
    a->txt = a->next_txt;
    pthread_mutex_unlock(&a->handover);
    if (!changed || a->group == nullptr || avahi_entry_group_is_empty(a->group)) return;
    AvahiStringList *l = string_list(a->txt);
    int err = avahi_entry_group_update_service_txt_strlst(
        a->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
        a->name.c_str(), a->type.c_str(), nullptr, l);
    avahi_string_list_free(l);
    if (err != AVAHI_OK)
        fprintf(a->report, "the announcement's update failed: %s\n", avahi_strerror(err));
}

// Avahi's thread, with every signal blocked: they stay the program's.
int start_thread(AvahiThreadedPoll *poll) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = avahi_threaded_poll_start(poll);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return err;
}

// Frees what dnssd_announce_start made, once Avahi's thread is stopped.
void free_announce(dnssd_announce *a) {
    if (a->client) avahi_client_free(a->client);  // withdraws the group too
    a->client = nullptr;
    a->group = nullptr;
    if (a->poll) avahi_threaded_poll_free(a->poll);  // and the watch
    a->poll = nullptr;
    if (a->wake_fd >= 0) close(a->wake_fd);
    a->wake_fd = -1;
}

}  // namespace

bool dnssd_announce_start(dnssd_announce *a, const std::string &type, const std::string &name,
                          int port, std::vector<std::string> txt, FILE *report) {
    a->type = type;
    a->name = name;
    a->port = port;
    a->next_txt = txt;
    a->txt = std::move(txt);
    a->report = report;
    a->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    a->poll = a->wake_fd < 0 ? nullptr : avahi_threaded_poll_new();
    const AvahiPoll *api = a->poll ? avahi_threaded_poll_get(a->poll) : nullptr;
    if (api == nullptr || api->watch_new(api, a->wake_fd, AVAHI_WATCH_IN, take_txt, a) == nullptr) {
        fprintf(report, "not announced: %s\n", strerror(errno));
        free_announce(a);
        return false;
    }
    if (!connect_client(a)) {
        free_announce(a);
        return false;
    }
    int err = start_thread(a->poll);
    if (err < 0) {
        fprintf(report, "not announced: %s\n", avahi_strerror(err));
        free_announce(a);
        return false;
    }
    a->running = true;
    return true;
}

void dnssd_announce_txt(dnssd_announce *a, std::vector<std::string> txt) {
    if (!a->running) return;
    pthread_mutex_lock(&a->handover);
    a->next_txt = std::move(txt);
    pthread_mutex_unlock(&a->handover);
    uint64_t one = 1;
    if (write(a->wake_fd, &one, sizeof one) < 0) {
        // Only a counter at its top fails, and then a wake-up is pending.
    }
}

void dnssd_announce_stop(dnssd_announce *a) {
    if (a->running) avahi_threaded_poll_stop(a->poll);
    a->running = false;
    free_announce(a);
}

namespace {

// A browse under way, on a simple poll that dnssd_browse iterates.
struct browse {
    AvahiClient *client = nullptr;
    std::vector<dnssd_found> *found;
    int resolving = 0;   // resolvers started and not yet answered
    int browsing = 0;    // browsers the responder has not yet told all it knows
    std::string failed;  // why the browse failed, or ""
};

bool known(const std::vector<dnssd_found> &found, const std::string &type, const char *name) {
    for (const auto &f : found)
        if (f.name == name && f.type == type) return true;
    return false;
}

// The resolved service's record.
dnssd_found found_of(const char *type, const char *name, const AvahiAddress *address, uint16_t port,
                     AvahiStringList *txt) {
    dnssd_found f;
    f.type = type;
    f.name = name;
    char text[AVAHI_ADDRESS_STR_MAX] = "";
    if (address) avahi_address_snprint(text, sizeof text, address);
    f.address = text;
    f.port = port;
    for (AvahiStringList *l = txt; l; l = avahi_string_list_get_next(l))
        f.txt.emplace_back(reinterpret_cast<const char *>(avahi_string_list_get_text(l)),
                           avahi_string_list_get_size(l));
    return f;
}

void resolved(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
              const char *name, const char *type, const char *, const char *,
              const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
              AvahiLookupResultFlags, void *arg) {
    auto *b = static_cast<browse *>(arg);
    b->resolving--;
    if (event == AVAHI_RESOLVER_FOUND && !known(*b->found, type, name))
        b->found->push_back(found_of(type, name, address, port, txt));
    avahi_service_resolver_free(r);
}

void browsed(AvahiServiceBrowser *, AvahiIfIndex iface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char *name, const char *type, const char *domain,
             AvahiLookupResultFlags, void *arg) {
    auto *b = static_cast<browse *>(arg);
    switch (event) {
    case AVAHI_BROWSER_NEW:
        if (avahi_service_resolver_new(b->client, iface, protocol, name, type, domain,
                                       AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), resolved,
                                       b))
            b->resolving++;
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
        b->browsing--;
        break;
    case AVAHI_BROWSER_FAILURE:
        b->failed = avahi_strerror(avahi_client_errno(b->client));
        break;
    default:
        break;
    }
}

}  // namespace

bool dnssd_browse(const std::vector<std::string> &types, int timeout_ms,
                  std::vector<dnssd_found> *found, std::string *why) {
    found->clear();
    AvahiSimplePoll *poll = avahi_simple_poll_new();
    if (poll == nullptr) {
        *why = strerror(errno);
        return false;
    }
    browse b;
    b.found = found;
    int err = 0;
    b.client = avahi_client_new(avahi_simple_poll_get(poll), static_cast<AvahiClientFlags>(0),
                                nullptr, nullptr, &err);
    bool started = b.client != nullptr;
    for (size_t i = 0; started && i < types.size(); i++, b.browsing++)
        started =
            avahi_service_browser_new(b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, types[i].c_str(),
                                      nullptr, static_cast<AvahiLookupFlags>(0), browsed, &b);
    if (!started) {
        *why = avahi_strerror(b.client ? avahi_client_errno(b.client) : err);
        if (b.client) avahi_client_free(b.client);
        avahi_simple_poll_free(poll);
        return false;
    }
    long long deadline = now_ns() + static_cast<long long>(timeout_ms) * 1'000'000;
    while (b.failed.empty() && !(b.browsing == 0 && b.resolving == 0)) {
        long long left_ms = (deadline - now_ns()) / 1'000'000;
        if (left_ms <= 0 || avahi_simple_poll_iterate(poll, static_cast<int>(left_ms)) != 0) break;
    }
    avahi_client_free(b.client);  // and the browsers and resolvers
    avahi_simple_poll_free(poll);
    if (b.failed.empty()) return true;
    *why = b.failed;
    return false;
}

// A service a watch has seen on one interface: browsed, and resolved
// again whenever its records change, until it goes.
struct dnssd_seen {
    dnssd_watch *w;
    AvahiIfIndex iface;
    AvahiProtocol protocol;
    std::string type, name, domain;
    AvahiServiceResolver *resolver = nullptr;
    bool resolved = false;
    dnssd_found f;
};

namespace {

// Hands the resolved services over to the program's threads.
void watch_publish(dnssd_watch *w) {
    std::vector<dnssd_found> found;
    for (const dnssd_seen *s : w->seen)
        if (s->resolved && !known(found, s->type, s->name.c_str())) found.push_back(s->f);
    pthread_mutex_lock(&w->lock);
    w->found = std::move(found);
    w->changes++;
    pthread_mutex_unlock(&w->lock);
}

void watch_resolved(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                    const char *name, const char *type, const char *, const char *,
                    const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
                    AvahiLookupResultFlags, void *arg) {
    auto *s = static_cast<dnssd_seen *>(arg);
    s->resolved = event == AVAHI_RESOLVER_FOUND;
    if (s->resolved) {
        s->f = found_of(type, name, address, port, txt);
    } else {  // it stays unresolved until it goes and comes again
        avahi_service_resolver_free(r);
        s->resolver = nullptr;
    }
    watch_publish(s->w);
}

// Drops seen service i, and its resolver.
void watch_forget(dnssd_watch *w, size_t i) {
    if (w->seen[i]->resolver) avahi_service_resolver_free(w->seen[i]->resolver);
    delete w->seen[i];
    w->seen.erase(w->seen.begin() + static_cast<long>(i));
}

void watch_browsed(AvahiServiceBrowser *b, AvahiIfIndex iface, AvahiProtocol protocol,
                   AvahiBrowserEvent event, const char *name, const char *type, const char *domain,
                   AvahiLookupResultFlags, void *arg) {
    auto *w = static_cast<dnssd_watch *>(arg);
    if (event == AVAHI_BROWSER_NEW) {
        auto *s = new dnssd_seen{w, iface, protocol, type, name, domain, nullptr, false, {}};
        s->resolver = avahi_service_resolver_new(
            avahi_service_browser_get_client(b), iface, protocol, name, type, domain,
            AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), watch_resolved, s);
        w->seen.push_back(s);
        return;
    }
    if (event != AVAHI_BROWSER_REMOVE) return;
    for (size_t i = 0; i < w->seen.size(); i++) {
        const dnssd_seen *s = w->seen[i];
        if (s->iface == iface && s->protocol == protocol && s->name == name && s->type == type &&
            s->domain == domain) {
            watch_forget(w, i);
            return watch_publish(w);
        }
    }
}

bool watch_connect(dnssd_watch *w, int *err);

void watch_client_changed(AvahiClient *c, AvahiClientState state, void *arg) {
    auto *w = static_cast<dnssd_watch *>(arg);
    if (state == AVAHI_CLIENT_S_RUNNING) {
        // Once for each client: its browsers last as long as it does.
        if (w->browsing) return;
        w->browsing = true;
        for (const std::string &type : w->types)
            avahi_service_browser_new(c, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type.c_str(), nullptr,
                                      static_cast<AvahiLookupFlags>(0), watch_browsed, w);
        return;
    }
    if (state != AVAHI_CLIENT_FAILURE || avahi_client_errno(c) != AVAHI_ERR_DISCONNECTED) return;
    // The daemon went away, and what it told with it: a new client waits
    // for the next one.
    while (!w->seen.empty()) watch_forget(w, w->seen.size() - 1);
    watch_publish(w);
    avahi_client_free(c);  // and its browsers
    w->client = nullptr;
    w->browsing = false;
    int err = 0;
    watch_connect(w, &err);
}

// A client that waits for the daemon when none runs; false when there is
// none to be had (no system bus), with *err set.
bool watch_connect(dnssd_watch *w, int *err) {
    w->client = avahi_client_new(avahi_threaded_poll_get(w->poll), AVAHI_CLIENT_NO_FAIL,
                                 watch_client_changed, w, err);
    return w->client != nullptr;
}

}  // namespace

bool dnssd_watch_start(dnssd_watch *w, std::vector<std::string> types, FILE *report) {
    w->types = std::move(types);
    w->poll = avahi_threaded_poll_new();
    int err = AVAHI_ERR_NO_MEMORY;
    if (w->poll && watch_connect(w, &err)) err = start_thread(w->poll);
    if (w->poll == nullptr || w->client == nullptr || err < 0) {
        if (report) fprintf(report, "not watching the LAN: %s\n", avahi_strerror(err));
        dnssd_watch_stop(w);
        return false;
    }
    w->running = true;
    return true;
}

bool dnssd_watch_found(dnssd_watch *w, unsigned long *seen, std::vector<dnssd_found> *found) {
    pthread_mutex_lock(&w->lock);
    bool changed = w->changes != *seen;
    if (changed) *found = w->found;
    *seen = w->changes;
    pthread_mutex_unlock(&w->lock);
    return changed;
}

void dnssd_watch_stop(dnssd_watch *w) {
    if (w->running) avahi_threaded_poll_stop(w->poll);
    w->running = false;
    while (!w->seen.empty()) watch_forget(w, w->seen.size() - 1);
    if (w->client) avahi_client_free(w->client);  // and its browsers
    w->client = nullptr;
    w->browsing = false;
    if (w->poll) avahi_threaded_poll_free(w->poll);
    w->poll = nullptr;
}
