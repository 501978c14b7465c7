// The shell's private copy of the process environment (NAME=value entries).
// Assignments and the env/unset commands work on this copy only; the process
// environment is never written. Shared by every session under one lock.
#pragma once

#include <cstddef>

// Copies the process environment ("strdup error\n" stops the copy); 0 or -1.
int init_envv();
// Frees every entry and the array.
void libsh_env_free();
// Replaces the first NAME=... entry or appends one; 0, or -1 when memory runs out.
int libsh_setenv(const char *name, const char *value);
// Removes the first NAME=... entry keeping the order of the rest; 0, or -1 when absent.
int libsh_unsetenv(const char *name);
// Copies the value of NAME (cut to size) into buf; its full length, or -1 when absent.
int libsh_getenv_copy(const char *name, char *buf, size_t size);
// Every entry as "%s\n" in array order; heap text or null when empty.
char *libsh_env_text();
