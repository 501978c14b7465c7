// Raw clients for the web console and shell tests: one HTTP request per
// connection, the whole reply read until the server closes; shell replies
// read up to their end bytes.
#pragma once

#include <string>

// Connects to 127.0.0.1:port (any server of these tests); the descriptor or -1.
int connect_loopback(int port);
// Listener on 127.0.0.1 port 0 (*port set) that accepts nothing by itself; -1 on failure.
int listen_loopback(int *port, int backlog = 1);
// Shell replies up to and including count end bytes (byte 0); stops early when the peer closes.
std::string shell_test_replies(int fd, int count);
// Sends raw and reads until the server closes (30 s at most).
std::string http_test_raw(int port, const std::string &raw);
// GET path with extra header lines (each ending in \r\n).
std::string http_test_get(int port, const std::string &path, const std::string &headers = "");
// The body after the header block, or the whole reply when it has none.
std::string http_test_body(const std::string &reply);
// True when text is one JSON value with well-formed string escapes and
// balanced brackets outside strings.
bool http_test_json_ok(const std::string &text);
std::string http_test_basic(const std::string &user, const std::string &pwd);
