// The console page in a real browser: headless Chromium driven by selenium.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "web_client_util.h"

namespace {

bool browser_installed() {
    int status = -1;
    run_command("/usr/bin/python3 -c 'import selenium' 2>/dev/null", &status);
    return access("/usr/bin/chromium", X_OK) == 0 && access("/usr/bin/chromedriver", X_OK) == 0 && status == 0;
}

// Runs tests/integration/<name>.py with its arguments; its output, both streams.
std::string run_script(const char *name, const std::string &args, int *status) {
    return run_command("/usr/bin/python3 " HUBD_SOURCE_DIR "/tests/integration/" + std::string(name) + ".py " + args +
                           " 2>&1",
                       status);
}

// Waits until a console with a password answers, refusing the request without one.
void wait_guarded(HubdProcess &p, int port) {
    for (long end = now_ms() + 30000; now_ms() < end && p.running();) {
        if (http_test_get(port, "/metrics").rfind("HTTP/1.1 401", 0) == 0) break;
        p.pump(100);
    }
}

TEST(WebConsoleBrowser, CommandSettingAndLogLineInHeadlessChromium) {
    if (!browser_installed()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium is not installed";
    int status = -1;
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", web_ini(port));
    HubdProcess p(dir, {});
    ASSERT_TRUE(wait_web_ready(p, port)) << p.err();
    std::filesystem::create_directories("test-output");
    std::string shot = std::filesystem::absolute("test-output/web_console.png").string();
    std::filesystem::remove(shot);
    std::string out = run_script("web_console_browser",
                                 "http://127.0.0.1:" + std::to_string(port) + "/ " + shot, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ok"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(shot));
    p.stop(SIGTERM);
}

// Another origin on another loopback port drives the browser at the console:
// nothing it sends acts, and each attempt was refused, not lost.
TEST(WebConsoleBrowser, AnotherOriginCannotActThroughTheBrowser) {
    if (!browser_installed()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium is not installed";
    int status = -1;
    HubdDir dir;
    int port = free_tcp_port(), attacker = free_tcp_port();
    dir.write_file("hubd.ini", web_ini(port));
    HubdProcess p(dir, {});
    ASSERT_TRUE(wait_web_ready(p, port)) << p.err();
    std::string out = run_script("web_console_attack",
                                 "http://127.0.0.1:" + std::to_string(port) + "/ " + std::to_string(attacker), &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("navigate.html refused\nok"), std::string::npos) << out;
    p.pump(200);
    EXPECT_NE(p.err().find("browser request refused"), std::string::npos) << p.err();
    p.stop(SIGTERM);
}

// Phone, laptop and desktop sizes, and credentials in the URL.
TEST(WebConsoleBrowser, FitsEverySizeAndWorksWithCredentialsInTheUrl) {
    if (!browser_installed()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium is not installed";
    int status = -1;
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", web_ini(port, "http_server_addr = 127.0.0.1\nhttp_server_user = op\nhttp_server_pwd = pw\n"));
    HubdProcess p(dir, {});
    wait_guarded(p, port);
    std::filesystem::create_directories("test-output");
    std::string shots = std::filesystem::absolute("test-output").string();
    for (const char *size : {"400x800", "1400x900", "1920x1080"})
        std::filesystem::remove(shots + "/web_console_" + size + ".png");
    std::string out = run_script("web_console_layout",
                                 "http://op:pw@127.0.0.1:" + std::to_string(port) + "/ " + shots, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ok"), std::string::npos) << out;
    for (const char *size : {"400x800", "1400x900", "1920x1080"})
        EXPECT_TRUE(std::filesystem::exists(shots + "/web_console_" + size + ".png")) << size;
    p.stop(SIGTERM);
}

// Wrong credentials and none, met by an open page: "login needed", not "offline".
TEST(WebConsoleBrowser, RefusedCredentialsShowLoginNeeded) {
    if (!browser_installed()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium is not installed";
    int status = -1;
    HubdDir dir;
    int port = free_tcp_port();
    dir.write_file("hubd.ini", web_ini(port, "http_server_addr = 127.0.0.1\nhttp_server_user = op\nhttp_server_pwd = pw\n"));
    HubdProcess p(dir, {});
    wait_guarded(p, port);
    std::string out = run_script("web_console_login",
                                 "http://op:pw@127.0.0.1:" + std::to_string(port) + "/ op:pw", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ok"), std::string::npos) << out;
    p.stop(SIGTERM);
}

}  // namespace
