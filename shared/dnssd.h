// dnssd.h - DNS-SD through Avahi, the host's mDNS responder (avahi-daemon,
// reached over the D-Bus system bus): a service announced for as long as
// the program runs, the services of some types browsed for a while, and
// the same watched for as long as the program runs.
//
// An announcement and a watch run on Avahi's own thread, so that a program's loop
// and its timing never wait for the daemon. With no daemon it says so in
// one line and the program goes on unannounced; a daemon that comes later
// (or comes back) gets the announcement then.
#pragma once

#include <pthread.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/thread-watch.h>

// One service announced. Its fields are Avahi's thread's while it runs
// (the program changes the TXT strings through dnssd_announce_txt alone,
// which hands them over without waiting for that thread).
struct dnssd_announce {
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    bool running = false;  // Avahi's thread runs: the service is announced or waits for a daemon
    std::string type;      // "_mcast-radio._udp"
    std::string name;      // as asked, then as Avahi's alternatives rename it
    int port = 0;
    std::vector<std::string> txt;  // as announced
    FILE *report = nullptr;
    bool said_waiting = false;  // the line that no daemon answers is out
    // The hand-over of new TXT strings: next_txt under the mutex, then a
    // wake-up on the eventfd, which Avahi's thread watches.
    pthread_mutex_t handover = PTHREAD_MUTEX_INITIALIZER;
    std::vector<std::string> next_txt;
    int wake_fd = -1;
};

// Starts announcing name as a service of type on port, with the TXT
// strings txt, on every interface and for IPv4 and IPv6 alike; the lines
// it has to say (announced, renamed after a clash, no daemon) go to
// report. False, after one line, when Avahi cannot be used at all (no
// system bus): the program goes on unannounced.
bool dnssd_announce_start(dnssd_announce *a, const std::string &type, const std::string &name,
                          int port, std::vector<std::string> txt, FILE *report);

// Replaces the announcement's TXT strings when they differ (from any
// thread but Avahi's).
void dnssd_announce_txt(dnssd_announce *a, std::vector<std::string> txt);

// Withdraws the announcement (Avahi says goodbye on the LAN, so that
// browsers drop it at once) and stops Avahi's thread. Harmless when it
// never started.
void dnssd_announce_stop(dnssd_announce *a);

// A service found by dnssd_browse or a watch.
struct dnssd_found {
    std::string type;     // its service type
    std::string name;     // its instance name
    std::string address;  // the host's IPv4 address, dotted
    int port = 0;         // its SRV port
    std::vector<std::string> txt;
};

// Browses the LAN for services of the types over IPv4 and resolves them,
// for at most timeout_ms: until the responder thinks it has seen them all
// and every one is resolved, or the time is up. The services found, each
// name of a type once, in the order resolved. False with *why set when no
// responder answers.
bool dnssd_browse(const std::vector<std::string> &types, int timeout_ms,
                  std::vector<dnssd_found> *found, std::string *why);

struct dnssd_seen;

// Services of some types watched for on the LAN for as long as the
// program runs, on Avahi's own thread: each resolved as it comes, again
// when its records change (another port, another TXT), and dropped when it
// goes. A daemon that is not there yet, or goes and comes back, is waited
// for; meanwhile nothing is seen. The fields are Avahi's thread's, but for
// the list that dnssd_watch_found copies under the lock.
struct dnssd_watch {
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    bool running = false;
    bool browsing = false;  // the client's browsers are made (once it reached the daemon)
    std::vector<std::string> types;
    std::vector<dnssd_seen *> seen;  // one per service on an interface, resolved or not
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::vector<dnssd_found> found;  // under lock: the resolved services, each name of a type once
    unsigned long changes = 0;       // under lock: how often found changed, 0: never
};

// Starts watching for services of the types. False, after one line on
// report unless it is null, when Avahi cannot be used at all (no system
// bus): nothing is ever seen then.
bool dnssd_watch_start(dnssd_watch *w, std::vector<std::string> types, FILE *report);

// The services seen now, into *found, when they changed since *seen (0
// at first), which then says when they were taken; false, and nothing
// taken, when they did not. From any thread but Avahi's.
bool dnssd_watch_found(dnssd_watch *w, unsigned long *seen, std::vector<dnssd_found> *found);

// Stops watching. Harmless when it never started.
void dnssd_watch_stop(dnssd_watch *w);
