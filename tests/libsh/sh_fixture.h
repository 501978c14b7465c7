// Fixture: a fresh interpreter per test with a memory session.
#pragma once

#include <gtest/gtest.h>

#include "libsh/libsh.h"
#include "mem_session.h"

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, libsh_init()); }
    void TearDown() override { libsh_exit(); }

    // Output of one line run in a fresh session.
    std::string out(const char *line, int *result = nullptr) {
        mem_session s;
        int ret = s.run(line);
        if (result) *result = ret;
        return s.text;
    }

    mem_session s;
};
