// The application layer: library start-up and shutdown, the framework's
// configuration keys, the server lifecycle and the host's hooks.
#pragma once

#include <cstddef>
#include <cstdint>

struct ConfHandle;
struct conf_key_rule;

// What the host program adds to the framework; every slot may be empty.
struct app_host_hooks {
    void (*conf_hook)(ConfHandle *conf);   // reads the host's own keys
    int32_t (*start_hook)();               // starts the host's own service; negative = failed
    int32_t (*stop_hook)();
    char *(*status_hook)();                // owned text for "show status", or null
    char *(*conf_dump_hook)();             // the host's own lines of the configuration dump
    void (*defaults_hook)();               // sets the host's own defaults
    void (*release_hook)();                // releases the host's own settings
    const conf_key_rule *conf_rules;       // the host's own keys and their checks (conf_check.h)
};

void app_host_hooks_set(const app_host_hooks *hooks);

void app_lib_init();
void app_lib_exit();
// Reads the framework keys of section debug; 0, or -1 when the file does not load.
int32_t app_conf_file_init(const char *path);
// Checks a loaded configuration (null: none) against the keys of the
// framework (debug), the log (log) and the host's table, printing each
// finding on standard error; adds errors and unknown keys to the counters.
void app_conf_check(ConfHandle *conf, const char *name, int32_t *errors, int32_t *unknown);
// The configuration file whose keys are in force, null when none loaded.
const char *app_conf_file_in_use();
// Web console connections being served, for "show status" (0 while it is off).
size_t app_web_sessions();
// The configuration dump text behind -p and "show config"; owned by the caller.
char *app_conf_dump();
// Starts the servers and runs until stopped: the host start result, or 1 when
// a start-up step failed (its reason logged by app_start_failed).
int32_t app_start_server();
int32_t app_stop_server();
void app_sig_handler(int sig);
// Starts the web console and the debug shell server: 0, or -1 when one of
// them cannot listen where it is configured to.
int32_t app_dbg_start();
