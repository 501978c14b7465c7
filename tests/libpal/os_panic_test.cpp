// The exception names and the per-thread fault options.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "libpal/os/os_panic.h"
#include "libpal/os/os_thread.h"

namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer keeps the fault signals; crash handling is off there"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

TEST(OsExceptionName, TableNamesAndCutUnknownCodes) {
    const std::pair<uint32_t, const char *> rows[] = {
        {0xC0000005, "ACCESS_VIOLATION"},
        {0xC00000FD, "STACK_OVERFLOW"},
        {0xC0000094, "INT_DIVIDE_BY_ZERO"},
        {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
        {0x80000004, "SINGLE_STEP"},
        {0x40000015, "ABORT"},
        {0xE06D7363, "unkown(-5296979"},  // written as a signed number
        {7, "unkown(7)"},
    };
    for (const auto &[code, name] : rows) {
        char out[64];
        EXPECT_STREQ(os_exception_name(code, out, sizeof out), name) << std::hex << code;
    }
}

__attribute__((noinline)) void touch_null() {
    volatile int *volatile target = nullptr;
    *target = 1;
}

uint32_t faulting_thread(void *) {
    touch_null();
    return 7;
}

std::atomic<int> g_notified{0};
std::string g_notify_text;  // written before g_notified

void remember_notify(const char *text) {
    g_notify_text = text;
    g_notified.store(1);
}

TEST(OsThreadFilter, HandleEndsTheThreadAfterTheNotify) {
    SKIP_UNDER_SANITIZER();
    ASSERT_EQ(os_panic_install(nullptr), 0);
    os_thread_except_opt opt{remember_notify, 0, 1, 0};
    os_thread *t = os_thread_init("faulty", faulting_thread, nullptr, nullptr, &opt);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 2000 && !g_notified.load(); ++i) usleep(5000);
    uint32_t code = 0;
    ASSERT_EQ(os_thread_wait_kill_exit(t, 0, &code), 0);
    // The function was abandoned: its own result never came.
    EXPECT_EQ(code, 0xC0000005u);
    ASSERT_EQ(g_notified.load(), 1);
    EXPECT_EQ(g_notify_text.rfind("Thread exception: tname=[faulty", 0), 0u) << g_notify_text;
    EXPECT_NE(g_notify_text.find("Code=0xc0000005 Address=0x"), std::string::npos) << g_notify_text;
    EXPECT_NE(g_notify_text.find(" \nSee the log for more information"), std::string::npos);
}

__attribute__((noinline)) int named_for_the_stack() { return 42; }

TEST(GetAddrSym, SymbolAndLineWithLibdwModuleAndOffsetWithout) {
    char out[260];
    const void *addr = reinterpret_cast<const void *>(&named_for_the_stack);
    ASSERT_EQ(dbghelp_init(), 0);
    GetAddrSym(addr, out, sizeof out);
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(/.*libpal_tests!.*named_for_the_stack\(\)\+0x0 \[.*os_panic_test\.cpp @ \d+\])")))
        << out;
    dbghelp_exit();
    GetAddrSym(addr, out, sizeof out);
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(/.*libpal_tests\+0x[0-9a-f]+)"))) << out;
    char stack[8192];
    os_dump_stack(stack, sizeof stack);
    EXPECT_TRUE(std::regex_match(stack, std::regex(R"((\S+\+0x[0-9a-f]+\n)+)"))) << stack;
    EXPECT_EQ(dbghelp_init(), 0);
}

// Callers on several threads share the one symbol session, one at a time.
TEST(GetAddrSym, ConcurrentCallersEachGetTheSymbolAndLine) {
    ASSERT_EQ(dbghelp_init(), 0);
    const void *addr = reinterpret_cast<const void *>(&named_for_the_stack);
    std::atomic<int> whole{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            char out[260];
            for (int n = 0; n < 20; ++n) {
                GetAddrSym(addr, out, sizeof out);
                std::string text(out);
                if (text.find("named_for_the_stack") != std::string::npos && text.find("os_panic_test.cpp @") != std::string::npos)
                    whole.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    for (auto &c : callers) c.join();
    EXPECT_EQ(whole.load(), 80);
}

// The exit option ends the process from the thread, with a dump when asked.
void fault_with_exit_option(const std::string &dump_dir) {
    os_panic_install(nullptr);
    os_panic_dump_set(dump_dir.c_str(), "unit");
    os_thread_except_opt opt{nullptr, 1, 0, 1};
    os_thread_init("faulty", faulting_thread, nullptr, nullptr, &opt);
    for (;;) pause();
}

TEST(OsThreadFilterDeathTest, ExitOptionWritesTheDumpAndEndsWith254) {
    SKIP_UNDER_SANITIZER();
    char tmpl[] = "/tmp/hubd-panic-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    EXPECT_EXIT(fault_with_exit_option(dir + "/dumps"), ::testing::ExitedWithCode(254),
                "MiniDump .*/dumps/unit-[0-9_-]+\\.dmp created(.|\n)*thread panic exit");
    int dumps = 0;
    for (const auto &entry : fs::directory_iterator(dir + "/dumps")) dumps += entry.path().extension() == ".dmp";
    EXPECT_EQ(dumps, 1);
    fs::remove_all(dir);
}

}  // namespace
