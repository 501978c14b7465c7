// The host's own pieces: its hooks, the single-instance check, the remote command.
#pragma once

#include <cstdint>

void hubd_host_hooks_install();
int32_t hubd_instance_check();
int32_t hubd_shell_connet_cmd(const char *ip, int port, const char *cmd);
