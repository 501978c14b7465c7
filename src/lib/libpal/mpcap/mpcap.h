// Classic pcap output (microsecond timestamps) to a file, to a FIFO this
// process serves (a capture tool opens it to read), or to a FIFO a capture
// tool serves (extcap). Writes never fail the caller: they set the dumper's
// error state, which its owner polls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct os_name_pipe_srv;

constexpr uint32_t MPCAP_MAGIC = 0xA1B2C3D4;
constexpr uint32_t MPCAP_SNAPLEN = 65536;
constexpr size_t MPCAP_FILE_HEAD_SIZE = 24;
constexpr size_t MPCAP_PKT_HEAD_SIZE = 16;
constexpr size_t MPCAP_NAME_MAXN = 4096;
// A served pipe gathers packets into one write of up to this many bytes.
constexpr size_t MPCAP_SRV_BUF_SIZE = 32768;
// Names in the pipe namespace: "...\wireshark_extcap..." is a capture tool's
// FIFO (client mode); any other pipe name is served by this process.
constexpr const char MPCAP_EXTCAP_PREFIX[] = "\\\\.\\pipe\\wireshark_extcap";

enum : int32_t { MPCAP_MODE_FILE = 0, MPCAP_MODE_PIPE_SRV = 2, MPCAP_MODE_PIPE_CLI = 3 };

struct mpcap_pkthdr {
    uint32_t sec;
    uint32_t usec;
    uint32_t caplen;
    uint32_t len;
};

// Writer: the global header image in the writer's byte order.
struct mpcap {
    uint8_t head[MPCAP_FILE_HEAD_SIZE];
    int32_t big_endian;
};

struct mpcap_dumper {
    mpcap *writer;
    int32_t mode;
    FILE *file;                    // file mode
    os_name_pipe_srv *srv;         // server pipe
    int cli_fd;                    // client pipe
    char name[MPCAP_NAME_MAXN];
    std::atomic<int32_t> error;    // 0, or -1 once a write failed
    std::atomic<int32_t> head_sent;  // server pipe: header sent to the current reader
    uint8_t *out;                  // server pipe: whole packets not yet sent
    size_t out_len;
};

// Writer for the link type; null when memory runs out.
mpcap *pcap_open_dead(int linktype, int snaplen_ignored, int big_endian);
void pcap_close(mpcap *writer);
// Opens the destination (see the header comment); a file in append mode gets
// a header only when empty. Null on failure.
mpcap_dumper *pcap_dump_open_imp(mpcap *writer, const char *name, int append);
// One packet; data holds hdr->caplen bytes. A server-pipe dumper gathers
// packets and sends them when its buffer is full or at pcap_dump_flush,
// waiting for its first reader there; a packet without data sends what waits
// and then probes the reader.
void pcap_dump(mpcap_dumper *d, const mpcap_pkthdr *hdr, const uint8_t *data);
// File: when the file reached max_size, keeps its header and the newest
// whole packets, about half of max_size.
void pcap_dump_set_fsize(mpcap_dumper *d, uint32_t max_size);
// File: re-creates the file with a header when it was deleted or truncated
// from outside. 1 when re-created, 0 when intact, -1 on failure.
int pcap_dump_file_check(mpcap_dumper *d);
// 0, or -1 (file: a failed flush; pipes: the error state). A server pipe
// sends what it gathered first.
int pcap_dump_flush(mpcap_dumper *d);
void pcap_dump_close(mpcap_dumper *d);
// Server pipe: forget the current reader so that the next packet waits for a
// new one and starts with a fresh header.
void pcap_dump_restart(mpcap_dumper *d);
// Server pipe: ends a wait for a reader or a blocked write (from any thread).
void pcap_dump_stop(mpcap_dumper *d);
