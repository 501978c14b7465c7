// The INI driver of the configuration store: files ending in .ini or .qli.
#pragma once

#include <cstddef>

#include "libconf/conf.h"

const ConfDriver *ini_conf_driver();
// The driver context of text already read (name is kept for conf_save and
// the messages); null with the failure lines in err when it does not parse.
void *ini_conf_open_text(const char *name, const char *text, size_t len, char *err, size_t err_size);
