// The login check with lockout: a user and two accepted passwords, and per
// client address a count of failed logins that locks the address for a
// while once it reaches the limit.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LIBPWD_TEXT_SIZE = 4096;  // user and passwords hold 4095 bytes
constexpr size_t LIBPWD_MSG_SIZE = 4096;
constexpr int LIBPWD_DEFAULT_CAPACITY = 1024;

constexpr int LIBPWD_OK = 0;
constexpr int LIBPWD_REFUSED = 1;
constexpr int LIBPWD_LOCKED = 2;

// The account; null texts count as empty. Set before the first check.
void libpwd_set_account(const char *user, const char *pwd1, const char *pwd2);
// fail_count 0 switches failure tracking off (and forgets every address);
// wait_m is the lockout in minutes; capacity (at least 1) the addresses tracked at once.
void libpwd_set_limits(int fail_count, int wait_m, int capacity);
// Replaces the monotonic millisecond clock (null: the system's); for tests.
void libpwd_set_clock(uint64_t (*clock_ms)());
// Addresses tracked now.
size_t libpwd_tracked();
// Forgets every address and resets the settings.
void libpwd_reset();

// 0 accepted, 1 refused, 2 address locked; msg (LIBPWD_MSG_SIZE bytes) gets
// the text to show the user. Null texts count as empty.
int libpwd_check_user_pwd(const char *addr, const char *user, const char *pwd, char *msg);
