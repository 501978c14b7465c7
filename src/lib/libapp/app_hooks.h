// The host's hooks as the application layer sees them.
#pragma once

#include "libapp/app_lib.h"

const app_host_hooks &app_host_hooks_get();
