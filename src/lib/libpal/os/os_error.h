// OS error texts.
#pragma once

// "ok" for 0, else the trimmed system text, else "unkown os_errno=%u (0x%x)".
// Returns a thread-local buffer.
const char *os_strerror(int code);
int os_errno();
void os_errno_set(int code);
