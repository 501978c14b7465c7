#include "libapp/app_hooks.h"

namespace {
app_host_hooks g_hooks{};
}

void app_host_hooks_set(const app_host_hooks *hooks) { g_hooks = hooks ? *hooks : app_host_hooks{}; }

const app_host_hooks &app_host_hooks_get() { return g_hooks; }
