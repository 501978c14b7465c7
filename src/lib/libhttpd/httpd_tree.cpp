// The server record, its content tree and the dispatch of a request to the
// entry that serves its path.
#define LOG_TAG "httpd"
#include <cstring>
#include <ctime>
#include <string>

#include "libhttpd/httpd.h"
#include "libpal/env/malloc.h"
#include "liblog/log2.h"

namespace {

httpd_dir *new_dir(const char *name, size_t len) {
    auto *dir = static_cast<httpd_dir *>(mem_calloc(sizeof(httpd_dir)));
    if (!dir) return nullptr;
    dir->name = static_cast<char *>(mem_malloc(len + 1));
    if (!dir->name) {
        mem_free(dir);
        return nullptr;
    }
    std::memcpy(dir->name, name, len);
    dir->name[len] = 0;
    return dir;
}

void free_dir(httpd_dir *dir) {
    while (dir) {
        httpd_dir *next = dir->next;
        free_dir(dir->children);
        for (httpd_entry *e = dir->entries; e;) {
            httpd_entry *next_entry = e->next;
            mem_free(e->name);
            mem_free(e);
            e = next_entry;
        }
        mem_free(dir->name);
        mem_free(dir);
        dir = next;
    }
}

// Walks the path one level at a time (empty levels skipped); missing levels
// are created when asked, otherwise the walk fails with null.
httpd_dir *find_dir(httpd_server *server, const char *path, bool create) {
    httpd_dir *dir = server->root;
    const char *p = path;
    while (dir && *p) {
        while (*p == '/') ++p;
        if (!*p) break;
        const char *end = std::strchr(p, '/');
        size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        httpd_dir *child = dir->children;
        while (child && !(std::strlen(child->name) == len && std::memcmp(child->name, p, len) == 0))
            child = child->next;
        if (!child && create) {
            child = new_dir(p, len);
            if (!child) return nullptr;
            child->next = dir->children;
            dir->children = child;
        }
        dir = child;
        p += len;
    }
    return dir;
}

}  // namespace

httpd_server *httpd_server_new() {
    auto *server = static_cast<httpd_server *>(mem_calloc(sizeof(httpd_server)));
    if (!server) return nullptr;
    server->root = new_dir("", 0);
    if (!server->root) {
        mem_free(server);
        return nullptr;
    }
    server->start_time = static_cast<int64_t>(std::time(nullptr));
    return server;
}

void httpd_server_free(httpd_server *server) {
    if (!server) return;
    free_dir(server->root);
    mem_free(server);
}

int httpd_add_c_content(httpd_server *server, const char *dir, const char *name, int index,
                        httpd_precheck precheck, httpd_func func) {
    if (!server || !dir || !name || !func) return -1;
    httpd_dir *node = find_dir(server, dir, true);
    if (!node) return -1;
    auto *entry = static_cast<httpd_entry *>(mem_calloc(sizeof(httpd_entry)));
    if (!entry) return -1;
    entry->name = mem_strdup(name);
    if (!entry->name) {
        mem_free(entry);
        return -1;
    }
    entry->kind = HTTPD_ENTRY_FUNCTION;
    entry->index = index;
    entry->precheck = precheck;
    entry->func = func;
    entry->next = node->entries;
    node->entries = entry;
    return 0;
}

void httpdProcessRequest(httpd_server *server, httpd_request *r) {
    r->bytes_sent = 0;
    const char *last_slash = std::strrchr(r->path, '/');
    if (!last_slash) {
        LOGD("Invalid request path '%s'\n", r->path);
        return;
    }
    const char *entry_name = last_slash + 1;
    std::string dir_path = last_slash == r->path ? "/" : std::string(r->path, static_cast<size_t>(last_slash - r->path));
    httpd_dir *dir = find_dir(server, dir_path.c_str(), false);
    httpd_entry *entry = dir ? dir->entries : nullptr;
    while (entry && std::strcmp(entry->name, entry_name) != 0 && !(entry->index && !*entry_name))
        entry = entry->next;
    if (!entry) {
        httpd_send_404(r);
        return;
    }
    r->entry = entry;
    if (entry->precheck && entry->precheck(server, r) < 0) return;
    entry->func(server, r);
}
