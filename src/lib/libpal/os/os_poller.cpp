// The poller's generic layer: creation with its wake pair, the wake bytes and
// the checked entry points over the back end's operation table.
#define LOG_TAG "pal"

#include "libpal/os/os_poller.h"

#include <new>

#include "libpal/basic/pal_assert.h"
#include "libpal/os/os_poller_imp.h"

namespace {

constexpr char kWakeKill = 'k';
constexpr char kWakeSpak = 'p';

const os_poller_backend &default_backend() { return os_poller_select_backend; }

void close_pair(os_poller *poller) {
    const os_socket write_end = poller->wake_write.exchange(OS_SOCKET_NONE);
    const os_socket read_end = poller->wake_read.exchange(OS_SOCKET_NONE);
    if (write_end != OS_SOCKET_NONE) os_socket_exit(write_end);
    if (read_end != OS_SOCKET_NONE) os_socket_exit(read_end);
}

// Makes a new pair and registers its read end; false (pair closed) on failure.
bool open_pair(os_poller *poller) {
    os_socket pair[2] = {OS_SOCKET_NONE, OS_SOCKET_NONE};
    if (!os_socket_pair(pair)) {
        LOGE_OS("os_socket_pair error: ");
        return false;
    }
    poller->wake_write.store(pair[0]);
    poller->wake_read.store(pair[1]);
    const os_poller_object object = os_poller_socket_object(pair[1]);
    if (!poller->ops.insert(poller, &object, OS_POLLER_READ, nullptr)) {
        LOGE_OS("os_poller_select_insert error: ");
        close_pair(poller);
        return false;
    }
    return true;
}

}  // namespace

bool os_poller_wake_send(os_poller *poller, char byte) {
    const os_socket write_end = poller->wake_write.load();
    if (write_end == OS_SOCKET_NONE) return false;
    return os_socket_send(write_end, &byte, 1) == 1;
}

os_poller *os_poller_init() {
    const os_poller_backend &backend = default_backend();
    auto *poller = new (std::nothrow) os_poller{};
    if (!poller) {
        PAL_ASSERT_REPORT("poller");
        return nullptr;
    }
    poller->ops = backend.ops;
    poller->support = backend.support;
    poller->wake_write.store(OS_SOCKET_NONE);
    poller->wake_read.store(OS_SOCKET_NONE);
    if (!backend.init(poller)) {
        delete poller;
        PAL_ASSERT_REPORT("poller");
        return nullptr;
    }
    if (!open_pair(poller)) {
        poller->ops.exit(poller);
        delete poller;
        PAL_ASSERT_REPORT("poller");
        return nullptr;
    }
    return poller;
}

void os_poller_exit(os_poller *poller) {
    PAL_ASSERT_RET(poller, );
    os_poller_kill(poller);
    close_pair(poller);
    poller->ops.exit(poller);
    delete poller;
}

bool os_poller_kill(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    return poller->ops.kill(poller);
}

bool os_poller_spak(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    return poller->ops.spak(poller);
}

bool os_poller_support(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    return (poller->support & OS_POLLER_EDGE) != 0;
}

bool os_poller_insert(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user) {
    PAL_CHECK_RET(poller && poller->ops.insert && object, "poller && poller->insert && object",
                  false);
    return poller->ops.insert(poller, object, flags, user);
}

bool os_poller_remove(os_poller *poller, const os_poller_object *object) {
    PAL_CHECK_RET(poller && poller->ops.remove && object, "poller && poller->remove && object",
                  false);
    return poller->ops.remove(poller, object);
}

bool os_poller_modify(os_poller *poller, const os_poller_object *object, uint32_t flags,
                      void *user) {
    PAL_CHECK_RET(poller && object, "poller && object", false);
    PAL_ASSERT_RET(poller->ops.modify, false);
    return poller->ops.modify(poller, object, flags, user);
}

int os_poller_wait(os_poller *poller, os_poller_func func, int ms) {
    PAL_CHECK_RET(poller && poller->ops.wait && func, "poller && poller->wait && func", -1);
    return poller->ops.wait(poller, func, ms);
}

bool os_poller_attach(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    if (!poller->ops.attach) return true;
    return poller->ops.attach(poller);
}

bool os_poller_reset_pair(os_poller *poller) {
    PAL_ASSERT_RET(poller, false);
    const os_socket old_read = poller->wake_read.load();
    if (old_read != OS_SOCKET_NONE) {
        const os_poller_object object = os_poller_socket_object(old_read);
        poller->ops.remove(poller, &object);
    }
    close_pair(poller);
    return open_pair(poller);
}

// Generic wake operations the back ends put into their tables.
bool os_poller_generic_kill(os_poller *poller) { return os_poller_wake_send(poller, kWakeKill); }
bool os_poller_generic_spak(os_poller *poller) { return os_poller_wake_send(poller, kWakeSpak); }
