// How a refused login is answered. An address typed into the browser gets
// the challenge, so the browser asks for the user and password. The page's
// own requests say challenge=0 and get the 401 without it: a challenge would
// make the browser hold every poll behind a login box (for ever, in a
// browser without a window), and the page could not say "login needed".
#define LOG_TAG "dbg"
#include <cstring>

#include "libdbg/web_console_imp.h"
#include "libhttpd/httpd.h"

namespace {

constexpr size_t CHALLENGE_ARG_SIZE = 8;

}  // namespace

void http_force_auth(httpd_request *r) {
    char challenge[CHALLENGE_ARG_SIZE];
    http_query_arg(r->query, "challenge", challenge, sizeof challenge);
    if (std::strcmp(challenge, "0") != 0) {
        httpd_force_auth(r);
        return;
    }
    httpd_set_status(r, "401 Please Authenticate\r\n");
    httpd_set_content_type(r, HTTPD_CONTENT_TEXT);
    httpd_output(r, "\n");
}
