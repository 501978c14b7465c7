// Host information of the running system.
#pragma once

#include <cstddef>
#include <cstdint>

// "PRETTY_NAME [kernel major.minor Build release]"; returns out.
char *os_info_desc(char *out, size_t size);
// "cpu model|memory size|host_id hex"; returns out.
char *os_hw_info(char *out, size_t size);
// 1 when the effective uid is 0.
int os_is_root();
// Seconds since 1970 of the last boot, 0 when unknown.
int64_t os_boot_time();
// Permanent hardware address of the first PCI network interface as a
// little-endian number, else its current address, else 0.
uint64_t os_host_id();
// True when a debugger (tracer) is attached.
bool os_debugger_attached();
