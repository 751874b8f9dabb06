// listeners.h - the HTTP listeners of the channels' streams: each starts
// with a burst of whole frames, then gets every chunk, half a second's
// worth at a time, and is dropped once it lags more than the limit.
#pragma once

#include "state.h"

struct evhttp_request;
struct chunk;

// Answers req with channel chnid's stream, with ICY metadata when icy;
// the status line and headers are set by the caller.
void listener_start(gateway *g, evhttp_request *req, int chnid, bool icy);

// Channel chnid's history just took a chunk: starts the listeners that
// waited for a frame start. The others take it at their flush.
void listeners_start_waiting(gateway *g, int chnid);

// Every listener in part (0 to parts - 1) of them takes its channel's new
// bytes, and its queue is written as far as its socket takes it.
void listeners_flush(gateway *g, int part, int parts);

// Drops every listener whose lag at now exceeds the limit, and keeps in
// each channel's history what its listeners have still to take.
void listeners_check_lag(gateway *g, long long now);

// Ends every listener's stream, with the last chunk of the chunked coding
// where it is used, as far as its socket takes it now, and closes its
// connection (at shutdown).
void listeners_end_all(gateway *g);
