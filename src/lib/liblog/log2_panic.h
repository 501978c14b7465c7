// The log as the crash path uses it: the report must come out even when
// another thread holds the log lock and never lets it go.
#pragma once

#include <cstddef>
#include <cstdint>

// Takes the log lock for the calling thread, waiting up to wait_ms; 0 when
// held (release it with log2_panic_leave), -1 when another thread keeps it.
int log2_panic_enter(uint32_t wait_ms);
void log2_panic_leave();
// Writes the text as it is to standard error and to the open log file,
// without the lock: the fallback when log2_panic_enter failed.
void log2_panic_direct(const char *text, size_t len);
// Copies the ring of recent lines into out (NUL-terminated); returns its length.
// No heap; the caller holds the lock, or accepts a torn copy.
size_t log2_last_log_copy(char *out, size_t size);
