// The console page in a real browser: headless Chromium driven by selenium.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "web_client_util.h"

namespace fs = std::filesystem;

namespace {

bool browser_installed() {
    int status = -1;
    run_command("/usr/bin/python3 -c 'import selenium' 2>/dev/null", &status);
    return access("/usr/bin/chromium", X_OK) == 0 && access("/usr/bin/chromedriver", X_OK) == 0 && status == 0;
}

// Each test runs one tests/integration/<name>.py against a console of its own.
class WebConsoleBrowser : public WebHubdTest {
protected:
    void SetUp() override {
        if (!browser_installed()) GTEST_SKIP() << "chromium, chromedriver or python3-selenium is not installed";
    }
    std::string url(const std::string &login = "") const {
        return "http://" + login + "127.0.0.1:" + std::to_string(port) + "/";
    }
    // Runs the script with its arguments and checks that it ended well; its output, both streams.
    std::string run_script(const char *name, const std::string &args, const std::string &ok = "ok") {
        int status = -1;
        std::string out = run_command("/usr/bin/python3 " HUBD_SOURCE_DIR "/tests/integration/" + std::string(name) +
                                          ".py " + args + " 2>&1",
                                      &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find(ok), std::string::npos) << out;
        return out;
    }
};

TEST_F(WebConsoleBrowser, CommandSettingAndLogLineInHeadlessChromium) {
    ASSERT_TRUE(start()) << p->err();
    fs::create_directories("test-output");
    std::string shot = fs::absolute("test-output/web_console.png").string();
    fs::remove(shot);
    run_script("web_console_browser", url() + " " + shot);
    EXPECT_TRUE(fs::exists(shot));
}

// Another origin on another loopback port drives the browser at the console:
// nothing it sends acts, and each attempt was refused, not lost.
TEST_F(WebConsoleBrowser, AnotherOriginCannotActThroughTheBrowser) {
    ASSERT_TRUE(start()) << p->err();
    run_script("web_console_attack", url() + " " + std::to_string(free_tcp_port()), "navigate.html refused\nok");
    p->pump(200);
    EXPECT_NE(p->err().find("browser request refused"), std::string::npos) << p->err();
}

// Phone, laptop and desktop sizes, and credentials in the URL.
TEST_F(WebConsoleBrowser, FitsEverySizeAndWorksWithCredentialsInTheUrl) {
    ASSERT_TRUE(start(WEB_LOGIN_INI, true)) << p->err();
    fs::create_directories("test-output");
    std::string shots = fs::absolute("test-output").string();
    const char *sizes[] = {"400x800", "1400x900", "1920x1080"};
    for (const char *size : sizes) fs::remove(shots + "/web_console_" + size + ".png");
    run_script("web_console_layout", url("op:pw@") + " " + shots);
    for (const char *size : sizes) EXPECT_TRUE(fs::exists(shots + "/web_console_" + size + ".png")) << size;
}

// Wrong credentials and none, met by an open page: "login needed", not "offline".
TEST_F(WebConsoleBrowser, RefusedCredentialsShowLoginNeeded) {
    ASSERT_TRUE(start(WEB_LOGIN_INI, true)) << p->err();
    run_script("web_console_login", url("op:pw@") + " op:pw");
}

}  // namespace
