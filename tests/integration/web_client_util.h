// Clients of the web console for the integration tests: raw requests come
// from the web console's unit-test client; the operator's own tools (curl,
// python) run as programs.
#pragma once

#include <string>

#include "hubd_process_util.h"
#include "libdbg/http_util.h"

// Runs a shell command line; its standard output. *status gets the exit status.
std::string run_command(const std::string &cmd, int *status = nullptr);
// Waits until a GET / on the port answers; false when the process ended or 30 s passed.
bool wait_web_ready(HubdProcess &p, int port);
// hubd.ini with the web console on 127.0.0.1:port (or the address line given) and the shell off.
std::string web_ini(int port, const std::string &extra = "http_server_addr = 127.0.0.1\n");
