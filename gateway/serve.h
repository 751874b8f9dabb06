// serve.h - the HTTP side: the page, status.json, metrics and the channels'
// streams, on evhttp in the gateway's event loop.
#pragma once

#include "state.h"

// Binds --listen and routes every request. Reports and returns -1 on
// failure.
int serve_start(gateway *g);
