// The installed program as an operator gets it: `make install` into a
// folder (the build's own install rules), the unit as packaged under
// systemd-analyze, the packaged configuration run with its paths moved into
// the test's folder, and the Debian package of `make deb` under lintian.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "web_client_util.h"

namespace fs = std::filesystem;

namespace {

// Output and exit status of a shell command.
std::pair<int, std::string> run(const std::string &command) {
    int status = -1;
    std::string out = run_command(command + " 2>&1", &status);
    return {status, out};
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// What the package puts on the machine, below the install prefix's folders.
std::vector<std::string> installed_files() {
    const std::string wireshark = HUBD_INSTALL_WIRESHARK_DIR;
    return {std::string(HUBD_INSTALL_SBINDIR) + "/hubd",
            std::string(HUBD_INSTALL_MANDIR) + "/man8/hubd.8",
            std::string(HUBD_INSTALL_SYSCONFDIR) + "/hubd/hubd.ini",
            std::string(HUBD_INSTALL_SYSCONFDIR) + "/logrotate.d/hubd",
            std::string(HUBD_INSTALL_UNIT_DIR) + "/hubd.service",
            wireshark + "/plugins/hubd_log.lua",
            wireshark + "/extcap/hubd-extcap"};
}

double exposure(const std::string &security_out) {
    std::smatch m;
    if (!std::regex_search(security_out, m, std::regex(R"(Overall exposure level for hubd\.service: ([0-9.]+))")))
        return 99;
    return std::stod(m[1]);
}

TEST(Package, InstallTreeHasEveryFileAndAHardenedUnitAndRuns) {
    HubdDir dir;
    const std::string root = dir.path() + "/root";
    auto [installed, install_out] = run("DESTDIR=" + root + " cmake --install " + HUBD_BUILD_DIR);
    ASSERT_EQ(installed, 0) << install_out;
    for (const std::string &file : installed_files()) EXPECT_TRUE(fs::exists(root + file)) << file;

    const std::string unit = root + HUBD_INSTALL_UNIT_DIR + "/hubd.service";
    const std::string unit_text = dir.read_file("root" + std::string(HUBD_INSTALL_UNIT_DIR) + "/hubd.service");
    EXPECT_NE(unit_text.find("ExecStart=" + std::string(HUBD_INSTALL_SBINDIR) + "/hubd -d -c " +
                             HUBD_INSTALL_SYSCONFDIR + "/hubd/hubd.ini\n"),
              std::string::npos)
        << unit_text;
    if (std::system("systemd-analyze --version >/dev/null 2>&1") == 0) {
        // The root needs the system's targets and slices the unit is ordered against.
        fs::create_directories(root + "/lib/systemd/system");
        run("cp -a /lib/systemd/system/*.target /lib/systemd/system/*.slice " + root + "/lib/systemd/system/");
        auto [verified, verify_out] =
            run("MANPATH=" + root + HUBD_INSTALL_MANDIR + " systemd-analyze verify --root=" + root + " " + unit);
        EXPECT_EQ(verified, 0) << verify_out;
        auto [scored, security_out] = run("systemd-analyze security --offline=yes " + unit);
        EXPECT_LE(exposure(security_out), 1.2) << security_out;
    }

    // The packaged configuration, its folders moved into the test's.
    std::string ini = dir.read_file("root" + std::string(HUBD_INSTALL_SYSCONFDIR) + "/hubd/hubd.ini");
    ini = replace_all(ini, "/var/log/hubd", dir.path() + "/log");
    ini = replace_all(ini, "/var/lib/hubd", dir.path() + "/lib");
    dir.write_file("hubd.ini", ini);
    fs::create_directory(dir.path() + "/run");
    const int shell_port = free_tcp_port();
    const int http_port = free_tcp_port();
    // The installed program runs from the test's folder (its configuration is named by -c).
    fs::copy_file(root + HUBD_INSTALL_SBINDIR + "/hubd", dir.binary(), fs::copy_options::overwrite_existing);
    HubdResult checked = run_hubd(dir, {"-t", "-c", dir.path() + "/hubd.ini"});
    EXPECT_EQ(checked.exit_code, 0) << checked.err;
    EXPECT_NE(checked.out.find("configuration ok"), std::string::npos) << checked.out;
    HubdProcess p(dir,
                  {"-q", "-c", dir.path() + "/hubd.ini", "-s", "debug_server_port=" + std::to_string(shell_port), "-s",
                   "http_server_port=" + std::to_string(http_port)},
                  {{"RUNTIME_DIRECTORY", dir.path() + "/run"}});
    ASSERT_TRUE(p.wait_for_err("debug shell listening on 127.0.0.1:" + std::to_string(shell_port))) << p.err();
    const std::string fifo = dir.path() + "/run/qelto_hubd_" + std::to_string(p.pid());
    EXPECT_TRUE(fs::exists(fifo)) << fifo;
    HubdResult r = p.stop(SIGTERM);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(fs::exists(fifo));
    EXPECT_TRUE(fs::exists(dir.path() + "/log/hubd.log"));
}

// The package of `make deb` (skipped until it has been built).
TEST(Package, DebListsEveryFileAndLintianFindsNoError) {
    const std::string deb =
        std::string(HUBD_SOURCE_DIR) + "/build-deb/hubd_" + HUBD_VERSION + "_amd64.deb";
    if (!fs::exists(deb)) GTEST_SKIP() << "make deb builds " << deb;
    auto [listed, contents] = run("dpkg-deb -c " + deb);
    ASSERT_EQ(listed, 0) << contents;
    for (const std::string &file :
         {std::string("./usr/sbin/hubd"), std::string("./usr/share/man/man8/hubd.8.gz"),
          std::string("./etc/hubd/hubd.ini"), std::string("./etc/logrotate.d/hubd"),
          std::string("./lib/systemd/system/hubd.service"), std::string("./usr/lib/sysusers.d/hubd.conf"),
          std::string("./usr/lib/x86_64-linux-gnu/wireshark/plugins/hubd_log.lua"),
          std::string("./usr/lib/x86_64-linux-gnu/wireshark/extcap/hubd-extcap")})
        EXPECT_NE(contents.find(" " + file + "\n"), std::string::npos) << file << "\n" << contents;
    auto [conffiles_ok, conffiles] = run("dpkg-deb -I " + deb + " conffiles");
    EXPECT_NE(conffiles.find("/etc/hubd/hubd.ini"), std::string::npos) << conffiles;
    if (std::system("lintian --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "lintian is not installed";
    auto [linted, lintian_out] = run("lintian --fail-on error " + deb);
    EXPECT_EQ(linted, 0) << lintian_out;
    EXPECT_EQ(lintian_out.find("E: "), std::string::npos) << lintian_out;
}

}  // namespace
