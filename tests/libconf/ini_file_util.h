// Temporary directories and files for the configuration store tests.
#pragma once

#include <string>

// A fresh directory under the system temp dir, removed with its files at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Full path of name inside the directory.
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes bytes (NULs included) to name; returns the full path.
    std::string write(const std::string &name, const std::string &bytes) const;

private:
    std::string path_;
};

std::string read_file(const std::string &path);
