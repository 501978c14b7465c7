// The UDP collector sink: binary log records flagged LOG_F_BSV_NET or
// LOG_F_BSV_ONLY travel, one per packet, to the collector named by the
// "bsvlog" URL (udp://host:port, or udps:// for scrambled packets). A thread
// "bsvnet" opens the socket once; the first packet waits for it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t BSV_UDP_URL_MAXN = 8192;
constexpr size_t BSV_UDP_PENDING_MAXN = 8192;
constexpr int BSV_UDP_DEFAULT_PORT = 514;

// Parses the URL, attaches the sender to the binary log layer and starts
// the opener thread; 0, or -1 when the URL does not parse.
int log_bsv_udp_open(const char *url);
// Detaches the sender, waits for the opener and closes the socket.
void log_bsv_udp_close();
// The configured URL ("" when none).
const char *log_bsv_udp_url();
// Sends one finished packet; drops empty input; held while the opener runs.
void log_bsv_udp_send(int level, const uint8_t *packet, size_t len);
// Packets not sent: too long, no socket, or a second one while the opener ran.
uint64_t log_bsv_udp_lost();
// True while the opener thread has not finished.
bool log_bsv_udp_opening();

// Registers the sink at the log core's "bsvlog" attach point; call before
// the configuration is read.
void bsv_udp_attach();
