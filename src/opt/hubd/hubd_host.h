// The host's own pieces: its hooks, the single-instance check, the remote command.
#pragma once

#include <cstdint>

void hubd_host_hooks_install();
// -1 when another instance answers on the probe port (the debug shell port,
// or the web console port when the shell is off); 0 otherwise.
int32_t hubd_instance_check();
// Runs cmd ("sh" or null: interactively) in the shell of the instance at ip:port.
int32_t hubd_shell_connet_cmd(const char *ip, int port, const char *cmd);

// The login lockout settings read from section hubd; libpwd gets them too.
int32_t hubd_login_fail_count();
int32_t hubd_login_fail_wait_m();
