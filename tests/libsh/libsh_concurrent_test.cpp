// Sessions on several threads share aliases and the environment copy, each
// with its own last line; run them at once (ThreadSanitizer runs this file's tests).
#include <string>
#include <thread>
#include <vector>

#include "libsh/sh_env.h"
#include "sh_fixture.h"

namespace {

constexpr int THREADS = 4;
constexpr int ROUNDS = 200;

TEST_F(ShellTest, ConcurrentSessionsShareStateSafely) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(THREADS, 0);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t, &wrong] {
            mem_session s;
            std::string name = "t" + std::to_string(t);
            std::string define = "alias \"" + name + "=echo " + name + "\"";
            std::string assign = "V" + name + "=value " + name;
            std::string unset = "unset V" + name;
            std::string unalias = "unalias " + name;
            for (int i = 0; i < ROUNDS; ++i) {
                s.clear();
                s.run(define.c_str());
                s.clear();
                s.run(name.c_str());
                if (s.text != name + "\n") ++wrong[t];
                s.run(assign.c_str());
                char buf[64];
                if (libsh_getenv_copy(("V" + name).c_str(), buf, sizeof buf) < 0 || buf != "value " + name)
                    ++wrong[t];
                s.run("env; alias; sm");
                // Each session repeats only its own last line.
                s.run("");
                s.run("   ");
                s.run("echo 'a;b'; nosuch");
            }
            s.run(unset.c_str());
            s.run(unalias.c_str());
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < THREADS; ++t) EXPECT_EQ(0, wrong[t]) << "thread " << t;
    mem_session s;
    EXPECT_EQ("", s.run("alias t0") == 1 ? "" : s.text);
}

}  // namespace
