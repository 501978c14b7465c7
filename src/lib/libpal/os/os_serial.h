// Serial ports: only the timed read and the plain write are used by the
// system; opening with line settings is up to the caller of os_serial_open.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_serial;

// Opens the device (raw mode when it is a terminal); null on failure (errno kept).
os_serial *os_serial_open(const char *path);
// Takes over an already open descriptor (a pseudo terminal, for instance).
os_serial *os_serial_from_fd(int fd);
void os_serial_close(os_serial *port);

// Total read time-out in ms; true on success.
bool os_serial_timeout_get(os_serial *port, uint32_t *total_ms);
bool os_serial_timeout_set(os_serial *port, uint32_t total_ms);
// Reads what arrives within the total time-out: bytes read, 0 on time-out, -1 on error.
int os_serial_read(os_serial *port, void *buf, size_t len);
// Bytes written, or -1.
int os_serial_write(os_serial *port, const void *buf, size_t len);
