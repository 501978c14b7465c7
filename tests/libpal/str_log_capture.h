// Collects what the log writes to the console while a test step runs. The
// console sink may use either standard stream, so both are captured.
#pragma once

#include <gtest/gtest.h>

#include <string>

class str_log_capture {
public:
    str_log_capture() {
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
