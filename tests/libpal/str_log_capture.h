// Collects what the log writes to the console while a test step runs. The
// console sink may use either standard stream, so both are captured.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "liblog/log2.h"

// Whether an err record reaches the console at all; probed once, outside any
// capture. Log texts are only checked where they do.
inline bool str_log_visible() {
    static const bool visible = [] {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        log2_printf(nullptr, LOG_ERR, "pal", __FILE__, __LINE__, __func__, "str-log-probe\n");
        std::string seen = testing::internal::GetCapturedStderr();
        seen += testing::internal::GetCapturedStdout();
        return seen.find("str-log-probe") != std::string::npos;
    }();
    return visible;
}

class str_log_capture {
public:
    str_log_capture() {
        str_log_visible();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    ~str_log_capture() { take(); }
    // Stops capturing and returns everything seen (once).
    std::string take() {
        if (!active_) return text_;
        active_ = false;
        text_ = testing::internal::GetCapturedStderr();
        text_ += testing::internal::GetCapturedStdout();
        return text_;
    }
    str_log_capture(const str_log_capture &) = delete;
    str_log_capture &operator=(const str_log_capture &) = delete;

private:
    bool active_ = true;
    std::string text_;
};

inline bool str_contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

#define EXPECT_LOGGED(text, part) \
    if (!str_log_visible()) {       \
    } else                          \
        EXPECT_TRUE(str_contains((text), (part)))
#define EXPECT_NOT_LOGGED(text, part) EXPECT_FALSE(str_contains((text), (part)))
