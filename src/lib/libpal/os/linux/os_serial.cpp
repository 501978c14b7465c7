#define LOG_TAG "pal"
#include "libpal/os/os_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "libpal/basic/pal_assert.h"
#include "libpal/env/malloc.h"

struct os_serial {
    int fd;
    uint32_t read_timeout_ms;
};

os_serial *os_serial_from_fd(int fd) {
    PAL_ASSERT_RET(fd >= 0, nullptr);
    auto *port = static_cast<os_serial *>(mem_calloc(sizeof(os_serial)));
    if (!port) return nullptr;
    port->fd = fd;
    return port;
}

os_serial *os_serial_open(const char *path) {
    PAL_ASSERT_RET(path, nullptr);
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    os_serial *port = os_serial_from_fd(fd);
    if (!port) close(fd);
    return port;
}

void os_serial_close(os_serial *port) {
    if (!port) return;
    close(port->fd);
    mem_free(port);
}

bool os_serial_timeout_get(os_serial *port, uint32_t *total_ms) {
    PAL_ASSERT_RET(port && total_ms, false);
    if (fcntl(port->fd, F_GETFD) < 0) return false;
    *total_ms = port->read_timeout_ms;
    return true;
}

bool os_serial_timeout_set(os_serial *port, uint32_t total_ms) {
    PAL_ASSERT_RET(port, false);
    if (fcntl(port->fd, F_GETFD) < 0) return false;
    port->read_timeout_ms = total_ms;
    return true;
}

int os_serial_read(os_serial *port, void *buf, size_t len) {
    PAL_ASSERT_RET(port && buf, -1);
    if (len == 0) return 0;
    pollfd pfd{port->fd, POLLIN, 0};
    int wait_ms = port->read_timeout_ms > 0x7FFFFFFF ? -1 : static_cast<int>(port->read_timeout_ms);
    int r;
    do {
        r = poll(&pfd, 1, wait_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if ((pfd.revents & POLLIN) == 0) {
        errno = EIO;
        return -1;
    }
    ssize_t n;
    do {
        n = read(port->fd, buf, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return (errno == EAGAIN) ? 0 : -1;
    return static_cast<int>(n);
}

int os_serial_write(os_serial *port, const void *buf, size_t len) {
    PAL_ASSERT_RET(port && (buf || len == 0), -1);
    ssize_t n;
    do {
        n = write(port->fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}
