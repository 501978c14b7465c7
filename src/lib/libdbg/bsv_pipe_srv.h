// The binary log pipe server: streams every binary log record as a pcap
// packet (link type 147) into a FIFO that a capture tool reads
// (tshark -i /tmp/qelto_hubd_<tid>). A lost reader starts a fresh stream for
// the next one; records logged meanwhile wait in the reader's ring.
#pragma once

#include <cstdint>

struct rbuf_stats;

constexpr uint32_t BSV_PIPE_IDLE_MS = 200;     // sleep when no record waits; also the probe period
constexpr uint32_t BSV_PIPE_CHECK_MS = 500;    // period of the stream health check

// Starts the thread "bsv_pipe_srv" on the pipe "\\.\pipe\qelto_<app>_<tid>";
// 0, or -1 when the pipe or the reader cannot be made.
int debug_bsv_pipe_srv_init(const char *app_name);
// Stops the thread, closes the pipe (removing the FIFO) and the reader. Safe
// to call when nothing runs.
void debug_bsv_pipe_srv_exit();
// Streams that reached a reader and ended (the reader left), since start-up.
uint64_t debug_bsv_pipe_srv_streams_ended();
// Counters of the server's ring; false while the server is down.
bool debug_bsv_pipe_srv_ring(rbuf_stats *out);
// The FIFO's path while the server runs, else "".
const char *debug_bsv_pipe_name();
