// The debugger channel: text meant for a watching developer rather than the
// log file. On Linux it goes to the system log at debug priority, so that
// `journalctl -t <ident>` shows it.
#pragma once

using os_debug_output_fn = void (*)(const char *text);

// Passes one text to the channel (or to the replacement set below).
void os_debug_output(const char *text);
// The system-log ident; the text is copied (up to 63 bytes). Default "hubd".
void os_debug_output_ident(const char *name);
// Replaces the channel, e.g. to capture it in tests; null restores the system log.
void os_debug_output_redirect(os_debug_output_fn fn);
