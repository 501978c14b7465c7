// The INI driver of the configuration store: files ending in .ini or .qli.
#pragma once

#include "libconf/conf.h"

const ConfDriver *ini_conf_driver();
