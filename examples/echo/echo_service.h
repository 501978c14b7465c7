// A line-echo TCP service on the event loop: each line a client sends is sent
// back. Every connection is an event context of the loop thread (no thread
// per connection), with its state allocated at accept and freed when the
// connection closes.
#pragma once

#include <cstdint>

// Limits of the keys of section [echo]; the host checks the file against them.
constexpr int32_t ECHO_PORT_DEFAULT = 7007;
constexpr uint32_t ECHO_MAX_CLIENTS_DEFAULT = 10000;
constexpr uint32_t ECHO_MAX_CLIENTS_MAX = 1000000;
constexpr uint32_t ECHO_IDLE_TIMEOUT_MS_MAX = 86400000;  // a day
constexpr uint32_t ECHO_MAX_LINE_DEFAULT = 4096;
constexpr uint32_t ECHO_MAX_LINE_MIN = 16;
constexpr uint32_t ECHO_MAX_LINE_MAX = 1048576;
constexpr uint32_t ECHO_OUTPUT_CAP_DEFAULT = 65536;
constexpr uint32_t ECHO_OUTPUT_CAP_MIN = 1024;
constexpr uint32_t ECHO_OUTPUT_CAP_MAX = 64u << 20;

struct echo_conf {
    const char *addr;          // bind list; null keeps to loopback
    int32_t port;
    uint32_t max_clients;      // connections beyond it get one line and a close
    uint32_t idle_timeout_ms;  // a silent connection is closed after it; 0: never
    uint32_t max_line;         // bytes of one line before its end ('\n')
    uint32_t output_cap;       // echo a slow reader may leave waiting before it is closed
};

// Adds "show echo" and the variable echo.max_line to the shell; once, after
// the shell has started (the host's defaults hook).
void echo_service_items_add();
// Listens and serves; 0, or -1 when a listener cannot be opened (said once).
// The event loop must be running.
int32_t echo_service_start(const echo_conf *conf);
// Stops listening and closes every connection; 0. Any thread; a second call does nothing.
int32_t echo_service_stop();
// The text of "show echo", owned by the caller (mem_free); null when memory runs out.
char *echo_service_show();
