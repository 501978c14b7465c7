#define LOG_TAG "bsv"
#include "libpal/mpcap/mpcap.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"
#include "libpal/os/os_pipe.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

void put32(uint8_t *at, uint32_t value, bool big_endian) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (big_endian ? 24 - 8 * i : 8 * i));
}
void put16(uint8_t *at, uint16_t value, bool big_endian) {
    at[0] = static_cast<uint8_t>(big_endian ? value >> 8 : value);
    at[1] = static_cast<uint8_t>(big_endian ? value : value >> 8);
}
uint32_t get32(const uint8_t *at, bool big_endian) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{at[i]} << (big_endian ? 24 - 8 * i : 8 * i);
    return value;
}

void packet_head(const mpcap *writer, const mpcap_pkthdr *hdr, uint8_t *out) {
    bool be = writer->big_endian != 0;
    put32(out, hdr->sec, be);
    put32(out + 4, hdr->usec, be);
    put32(out + 8, hdr->caplen, be);
    put32(out + 12, hdr->len, be);
}

bool is_pipe_name(const char *name) { return std::strncmp(name, OS_NAME_PIPE_PREFIX, std::strlen(OS_NAME_PIPE_PREFIX)) == 0; }

// Opens the file for reading and writing with other writers shut out; the
// header goes in when the file is new, truncated or empty.
FILE *open_file(const char *name, bool append, const mpcap *writer) {
    int fd = open(name, O_RDWR | O_CREAT | O_CLOEXEC | (append ? 0 : O_TRUNC), 0644);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE *file = fdopen(fd, "r+b");
    if (!file) {
        close(fd);
        return nullptr;
    }
    if (std::fseek(file, 0, SEEK_END) != 0 ||
        (std::ftell(file) == 0 && std::fwrite(writer->head, 1, MPCAP_FILE_HEAD_SIZE, file) != MPCAP_FILE_HEAD_SIZE) ||
        std::fflush(file) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

void dump_file(mpcap_dumper *d, const uint8_t *head, const uint8_t *data, uint32_t len) {
    if (!d->file) {
        d->error.store(-1, std::memory_order_relaxed);
        return;
    }
    if (std::fwrite(head, 1, MPCAP_PKT_HEAD_SIZE, d->file) != MPCAP_PKT_HEAD_SIZE ||
        (len && std::fwrite(data, 1, len, d->file) != len)) {
        d->error.store(-1, std::memory_order_relaxed);
    }
}

void dump_cli(mpcap_dumper *d, const uint8_t *head, const uint8_t *data, uint32_t len) {
    if (os_name_pipe_cli_write(d->cli_fd, head, MPCAP_PKT_HEAD_SIZE) < 0 ||
        (len && os_name_pipe_cli_write(d->cli_fd, data, len) < 0)) {
        d->error.store(-1, std::memory_order_relaxed);
    }
}

bool srv_send(mpcap_dumper *d, const void *bytes, size_t len) {
    int sent = os_name_pipe_srv_write(d->srv, bytes, len);
    if (sent < 0 || static_cast<size_t>(sent) != len) {
        d->error.store(-1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

// Sends the buffered packets, after the global header when the stream is
// new; the first send waits for a reader without limit (the stop event ends
// the wait). On failure the packets stay buffered for the next reader, who
// sees none of this stream: no reader loses or doubles a packet.
bool srv_flush(mpcap_dumper *d) {
    if (d->srv->closed.load(std::memory_order_relaxed) || d->error.load(std::memory_order_relaxed) < 0) {
        d->error.store(-1, std::memory_order_relaxed);
        return false;
    }
    if (!d->head_sent.load(std::memory_order_relaxed)) {
        if (d->srv->need_connect.load(std::memory_order_relaxed) &&
            !os_name_pipe_srv_connect(d->srv, OS_NAME_PIPE_WAIT_FOREVER)) {
            d->error.store(-1, std::memory_order_relaxed);
            return false;
        }
        if (!srv_send(d, d->writer->head, MPCAP_FILE_HEAD_SIZE)) {
            LOGD("first write head failed\n");
            return false;
        }
        d->head_sent.store(1, std::memory_order_relaxed);
    }
    if (d->out_len == 0) return true;
    if (!srv_send(d, d->out, d->out_len)) return false;
    d->out_len = 0;
    return true;
}

void dump_srv(mpcap_dumper *d, const uint8_t *head, const uint8_t *data, uint32_t len) {
    if (len == 0) {
        // A probe: what waits goes out first, then the reader is checked.
        if (srv_flush(d) && os_name_pipe_srv_write(d->srv, nullptr, 0) < 0) d->error.store(-1, std::memory_order_relaxed);
        return;
    }
    size_t packet = MPCAP_PKT_HEAD_SIZE + len;
    if (d->out_len + packet > MPCAP_SRV_BUF_SIZE) {
        // A failed flush keeps the buffer; the error state tells the caller
        // that this packet was not taken.
        if (!srv_flush(d)) return;
    }
    if (packet > MPCAP_SRV_BUF_SIZE) {
        if (srv_flush(d) && srv_send(d, head, MPCAP_PKT_HEAD_SIZE)) srv_send(d, data, len);
        return;
    }
    std::memcpy(d->out + d->out_len, head, MPCAP_PKT_HEAD_SIZE);
    std::memcpy(d->out + d->out_len + MPCAP_PKT_HEAD_SIZE, data, len);
    d->out_len += packet;
}

struct mem_deleter {
    void operator()(void *p) const { mem_free(p); }
};

}  // namespace

mpcap *pcap_open_dead(int linktype, int snaplen_ignored, int big_endian) {
    auto *writer = static_cast<mpcap *>(mem_calloc(sizeof(mpcap)));
    if (!writer) return nullptr;
    bool be = big_endian != 0;
    writer->big_endian = big_endian ? 1 : 0;
    put32(writer->head, MPCAP_MAGIC, be);
    put16(writer->head + 4, 2, be);
    put16(writer->head + 6, 4, be);
    put32(writer->head + 8, 0, be);
    put32(writer->head + 12, 0, be);
    put32(writer->head + 16, MPCAP_SNAPLEN, be);
    put32(writer->head + 20, static_cast<uint32_t>(linktype), be);
    return writer;
}

void pcap_close(mpcap *writer) { mem_free(writer); }

mpcap_dumper *pcap_dump_open_imp(mpcap *writer, const char *name, int append) {
    PAL_ASSERT_RET(writer != NULL && name != NULL, nullptr);
    void *mem = mem_calloc(sizeof(mpcap_dumper));
    if (!mem) return nullptr;
    auto *d = new (mem) mpcap_dumper{};
    d->writer = writer;
    d->cli_fd = -1;
    str_copy_trunc(d->name, sizeof d->name, name);
    if (std::strncmp(name, MPCAP_EXTCAP_PREFIX, std::strlen(MPCAP_EXTCAP_PREFIX)) == 0) {
        LOGV("namepipe cli mode\n");
        d->mode = MPCAP_MODE_PIPE_CLI;
        d->cli_fd = os_name_pipe_cli_open(name);
        if (d->cli_fd < 0) {
            LOGD_OS("os_name_pipe_cli_open error: ");
        } else if (os_name_pipe_cli_write(d->cli_fd, writer->head, MPCAP_FILE_HEAD_SIZE) < 0) {
            LOGD_OS("os_name_pipe_cli_write error: ");
        } else {
            return d;
        }
    } else if (is_pipe_name(name)) {
        LOGV("namepipe srv mode\n");
        d->mode = MPCAP_MODE_PIPE_SRV;
        d->srv = os_name_pipe_single_srv_open(name);
        d->out = static_cast<uint8_t *>(mem_malloc(MPCAP_SRV_BUF_SIZE));
        if (d->srv && d->out) return d;
        LOGD_OS("os_name_pipe_single_srv_open error: ");
    } else {
        d->mode = MPCAP_MODE_FILE;
        d->file = open_file(name, append != 0, writer);
        if (d->file) return d;
    }
    pcap_dump_close(d);
    return nullptr;
}

void pcap_dump(mpcap_dumper *d, const mpcap_pkthdr *hdr, const uint8_t *data) {
    PAL_ASSERT_RET(d != NULL && hdr != NULL, );
    uint8_t head[MPCAP_PKT_HEAD_SIZE];
    packet_head(d->writer, hdr, head);
    uint32_t len = data ? hdr->caplen : 0;
    switch (d->mode) {
        case MPCAP_MODE_FILE: dump_file(d, head, data, len); break;
        case MPCAP_MODE_PIPE_CLI: dump_cli(d, head, data, len); break;
        default: dump_srv(d, head, data, len); break;
    }
}

void pcap_dump_set_fsize(mpcap_dumper *d, uint32_t max_size) {
    if (!d || d->mode != MPCAP_MODE_FILE || !d->file) return;
    long end = std::ftell(d->file);
    if (end < 0) {
        LOGE_OS("ftell error: ");
        return;
    }
    auto size = static_cast<size_t>(end);
    if (size < max_size) return;
    std::unique_ptr<uint8_t, mem_deleter> bytes(static_cast<uint8_t *>(mem_malloc(size)));
    if (!bytes || std::fflush(d->file) != 0 || pread(fileno(d->file), bytes.get(), size, 0) != static_cast<ssize_t>(size)) {
        LOGE_OS("fread error: ");
        return;
    }
    bool be = d->writer->big_endian != 0;
    const uint8_t *data = bytes.get();
    // The first packet always goes; then whole packets until half the cap is passed.
    size_t offset = MPCAP_FILE_HEAD_SIZE;
    auto next = [&](size_t at) { return at + MPCAP_PKT_HEAD_SIZE + get32(data + at + 8, be); };
    if (offset + MPCAP_PKT_HEAD_SIZE <= size) offset = next(offset);
    while (offset < max_size / 2 && offset + MPCAP_PKT_HEAD_SIZE <= size) {
        size_t after = next(offset);
        if (after > size) break;
        offset = after;
    }
    if (offset > size) {
        LOGE("file error offset=%d fsize=%d\n", static_cast<int>(offset), static_cast<int>(size));
        return;
    }
    // Rewritten in place, newest packets over the oldest, then cut: a reader never
    // finds the file empty, and the lock keeps other writers out meanwhile.
    int fd = fileno(d->file);
    size_t keep = size - offset;
    std::memmove(bytes.get() + MPCAP_FILE_HEAD_SIZE, bytes.get() + offset, keep);
    std::memcpy(bytes.get(), d->writer->head, MPCAP_FILE_HEAD_SIZE);
    size_t total = MPCAP_FILE_HEAD_SIZE + keep;
    if (pwrite(fd, bytes.get(), total, 0) != static_cast<ssize_t>(total) || ftruncate(fd, static_cast<off_t>(total)) != 0 ||
        std::fseek(d->file, static_cast<long>(total), SEEK_SET) != 0) {
        LOGE_OS("fopen error: ");
        d->error.store(-1, std::memory_order_relaxed);
    }
}

int pcap_dump_file_check(mpcap_dumper *d) {
    if (!d || d->mode != MPCAP_MODE_FILE) return 0;
    struct stat st;
    if (d->file) {
        long pos = std::ftell(d->file);
        if (std::fflush(d->file) == 0 && fstat(fileno(d->file), &st) == 0 && st.st_nlink > 0 &&
            pos >= 0 && st.st_size >= pos) {
            return 0;
        }
        std::fclose(d->file);
        d->file = nullptr;
    }
    // Deleted or cut from outside: a fresh file with its own header.
    d->file = open_file(d->name, false, d->writer);
    if (!d->file) return -1;
    d->error.store(0, std::memory_order_relaxed);
    return 1;
}

int pcap_dump_flush(mpcap_dumper *d) {
    if (!d) return -1;
    if (d->mode == MPCAP_MODE_FILE) return d->file && std::fflush(d->file) == 0 ? 0 : -1;
    if (d->mode == MPCAP_MODE_PIPE_SRV) srv_flush(d);
    return d->error.load(std::memory_order_relaxed) < 0 ? -1 : 0;
}

void pcap_dump_close(mpcap_dumper *d) {
    if (!d) return;
    if (d->file) std::fclose(d->file);
    if (d->srv) os_name_pipe_srv_close(d->srv);
    mem_free(d->out);
    os_name_pipe_cli_close(d->cli_fd);
    d->~mpcap_dumper();
    mem_free(d);
}

void pcap_dump_restart(mpcap_dumper *d) {
    if (!d || d->mode != MPCAP_MODE_PIPE_SRV) return;
    os_name_pipe_srv_disconnect(d->srv);
    d->head_sent.store(0, std::memory_order_relaxed);
    d->error.store(0, std::memory_order_relaxed);
}

void pcap_dump_stop(mpcap_dumper *d) {
    if (!d || d->mode != MPCAP_MODE_PIPE_SRV) return;
    os_name_pipe_srv_stop(d->srv);
}
