// connections.h - the HTTP connections as the gateway keeps them: what
// each may read ahead, the deadline of each request's head and body, the
// cap on how many are open, and the pause in accepting at that cap or at
// the open-files limit.
#pragma once

#include "state.h"

struct evhttp_bound_socket;
struct evhttp_connection;
struct evhttp_request;

// A request's head and body together must be whole this long after the
// connection came, or after the answer before it was sent.
constexpr int REQUEST_DEADLINE_S = 10;
// What one connection may read ahead of the request being answered: the
// largest head and body taken, and a little more.
constexpr size_t READ_AHEAD_MAX = 16 * 1024;

// Makes every connection of g->http through this module and watches the
// socket bound that it accepts on. False after a report when it cannot.
bool connections_start(gateway *g, evhttp_bound_socket *bound);

// req's head and body have come: its deadline is over, and the next
// request on its connection gets its own once req's answer is sent.
void connection_request_came(evhttp_request *req);

// The connection now carries a stream that ends with it: closed(arg) is
// called when it goes, whoever closes it. False when the connection has
// no record (it could not be made).
bool connection_on_close(evhttp_connection *evcon, void (*closed)(void *), void *arg);

// Stops accepting for good (at shutdown).
void connections_stop_accepting();

// Frees what is left once the HTTP server is freed.
void connections_end();
