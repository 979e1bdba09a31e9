// The settings file of the upload checks: one "key value" line per setting,
// "#" starts a comment line, blank lines are ignored. The value is the rest
// of the line after the blanks that follow the key; "\n", "\t" and "\\" in
// it stand for a line end, a tab and a backslash (the message formats need
// line ends). Keys are the settings the checks read.
#ifndef SITEKIT_APP_SETTINGS_H
#define SITEKIT_APP_SETTINGS_H

#include "proptable.h"

#include <string>
#include <vector>

namespace sk::cli {

// Where the settings are read when no other file is named (below the site root).
inline constexpr const char *kDefaultSettings = "/ftp-data/sitekit/checks.conf";

// The keys the checks read; any other key is reported.
extern const std::vector<std::string> kSettingKeys;

struct SettingsResult {
    bool opened = false;               // the file was read
    std::string open_error;            // why not, when !opened
    std::vector<std::string> warnings; // "line N: ..." for lines left out
};

// Reads path into table (existing keys are replaced). Lines that are
// malformed or name an unknown key are left out and reported in warnings;
// the other lines still count.
SettingsResult load_settings(const std::string &path, ht_table *table);

// Undoes the escapes of a settings value.
std::string unescape_value(std::string_view value);

} // namespace sk::cli

#endif
