// One text line per UDP collector packet, as tools/bsvdump prints it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t BSV_DUMP_LINE_MAXN = 8192;

// Decodes the packet and writes its header and record fields into out, or
// "bad packet (N bytes): reason". Texts are escaped so that the line stays
// one line. Returns the line length (cut to size - 1).
size_t bsv_dump_packet(const uint8_t *packet, size_t len, char *out, size_t size);
