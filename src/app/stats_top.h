// sitekit stats top: the top uploaders or downloaders of the users folder,
// an action of sitekit stats (cmd_stats.cpp parses its options).
#ifndef SITEKIT_APP_STATS_TOP_H
#define SITEKIT_APP_STATS_TOP_H

#include "cli.h"

namespace sk::cli {

// Runs "stats top [up|down]" with p's options; usage is printed with a
// usage error. Returns the exit status.
int stats_top(Invocation &inv, const Parsed &p, std::string_view usage);

} // namespace sk::cli

#endif
