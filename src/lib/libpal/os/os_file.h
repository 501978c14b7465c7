// Files and directories.
#pragma once

#include <cstddef>

// 1 for an existing regular file, 2 for a directory, 0 otherwise.
int os_is_file(const char *path);
// Creates the directory and its missing parents; 0 or -1.
int os_mkdirs(const char *path);
int os_chdir(const char *path);
// The working directory into out; out, or null when it does not fit or cannot be had.
char *os_getcwd(char *out, size_t size);
// Directory of the running executable, without a trailing slash; returns out.
char *os_exe_dir(char *out, size_t size);
// True for "/..." "~..." or anything containing "://".
bool os_path_is_absolute(const char *path);
// Reads a whole file into a counted block (NUL-terminated); null on failure.
char *os_file_read_all(const char *path, size_t *len_out);
