#include "web_client_util.h"

#include <sys/wait.h>

#include <cstdio>

std::string run_command(const std::string &cmd, int *status) {
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int rc = pclose(f);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

bool wait_web_ready(HubdProcess &p, int port) {
    // A bound on the whole wait, so that a server that accepts and never
    // answers fails the test with its log rather than outlast ctest.
    for (long end = now_ms() + 30000; now_ms() < end;) {
        if (!p.running()) return false;
        if (http_test_get(port, "/metrics").find("g_type=0") != std::string::npos) return true;
        p.pump(100);
    }
    return false;
}

std::string web_ini(int port, const std::string &extra) {
    return "[debug]\nshell_server_port = 0\nhttp_server_port = " + std::to_string(port) + "\n" + extra;
}

bool wait_web_guarded(HubdProcess &p, int port) {
    for (long end = now_ms() + 30000; now_ms() < end && p.running();) {
        if (http_test_get(port, "/metrics").rfind("HTTP/1.1 401", 0) == 0) return true;
        p.pump(100);
    }
    return false;
}

bool WebHubdTest::start(const std::string &extra, bool guarded) {
    dir.write_file("hubd.ini", web_ini(port, extra));
    p = std::make_unique<HubdProcess>(dir, std::vector<std::string>{});
    return guarded ? wait_web_guarded(*p, port) : wait_web_ready(*p, port);
}
