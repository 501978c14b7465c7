// The two names of each level: the short one of the configuration and the
// shell, and the column of the log file.
#include <array>

#include "liblog/log2_ctl.h"
#include "liblog/name_table.h"

namespace {

constexpr std::array<name_table, 7> SHORT_NAMES{{
    {LOG_VERB, "verb"},
    {LOG_DBG, "dbg"},
    {LOG_INFO, "info"},
    {LOG_NOTI, "noti"},
    {LOG_WARN, "warn"},
    {LOG_ERR, "err"},
    {LOG_CRIT, "crit"},
}};

constexpr std::array<name_table, 7> FILE_NAMES{{
    {LOG_VERB, "VERB"},
    {LOG_DBG, "DEBUG"},
    {LOG_INFO, "INFO"},
    {LOG_NOTI, "NOTI"},
    {LOG_WARN, "WARN"},
    {LOG_ERR, "ERROR"},
    {LOG_CRIT, "CRIT"},
}};

}  // namespace

const char *log2_level_name(int level) { return name_table_to_str(level, SHORT_NAMES.data(), SHORT_NAMES.size()); }

const char *log2_level_file_name(int level) {
    return name_table_to_str(level, FILE_NAMES.data(), FILE_NAMES.size());
}

int log2_level_from_name(const char *name) {
    return name_table_to_val(name, SHORT_NAMES.data(), SHORT_NAMES.size());
}
