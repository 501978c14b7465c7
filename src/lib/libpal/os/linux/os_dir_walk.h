// Directory listing for the crash path: raw getdents64 into the caller's
// buffer, so that it allocates nothing, touches no stdio and may run inside a
// signal handler.
#pragma once

#include <cstddef>

// Called with each entry's name ("." and ".." included); false stops the walk.
using os_dir_visit_fn = bool (*)(const char *name, void *arg);

// Walks the open directory dir from its start, reading the entries into buf
// (a few KiB hold hundreds of names). The number of names visited, or -1 when
// the directory cannot be read.
int os_dir_walk(int dir, char *buf, size_t buf_size, os_dir_visit_fn visit, void *arg);
