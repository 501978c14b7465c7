// Clients of the web console for the integration tests: raw requests come
// from the web console's unit-test client; the operator's own tools (curl,
// python) run as programs.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "hubd_process_util.h"
#include "libdbg/http_util.h"

// Runs a shell command line; its standard output. *status gets the exit status.
std::string run_command(const std::string &cmd, int *status = nullptr);
// Waits until a GET / on the port answers; false when the process ended or 30 s passed.
bool wait_web_ready(HubdProcess &p, int port);
// hubd.ini with the web console on 127.0.0.1:port (or the address line given) and the shell off.
std::string web_ini(int port, const std::string &extra = "http_server_addr = 127.0.0.1\n");
// With credentials configured the console answers 401 once it is up; false when it did not within 30 s.
bool wait_web_guarded(HubdProcess &p, int port);
// web_ini's address line with the console's user op and password pw.
constexpr const char *WEB_LOGIN_INI = "http_server_addr = 127.0.0.1\nhttp_server_user = op\nhttp_server_pwd = pw\n";

// A fixture with a hubd of its own (banner on) whose web console is on port; stopped at the end.
class WebHubdTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (p) p->stop(SIGTERM);
    }
    // Starts it with web_ini(port, extra) and waits until the console answers
    // (with 401 when guarded); false when it does not.
    bool start(const std::string &extra = "http_server_addr = 127.0.0.1\n", bool guarded = false);
    HubdDir dir;
    int port = free_tcp_port();
    std::unique_ptr<HubdProcess> p;
};
