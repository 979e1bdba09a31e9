// The subcommands of the sitekit program, one function each (cmd_*.cpp).
#ifndef SITEKIT_APP_COMMANDS_H
#define SITEKIT_APP_COMMANDS_H

#include "cli.h"

namespace sk::cli {

int cmd_check(Invocation &inv);
int cmd_dirlog(Invocation &inv);
int cmd_dupe(Invocation &inv);
int cmd_dupelog(Invocation &inv);
int cmd_log(Invocation &inv);
int cmd_announce(Invocation &inv);
int cmd_msg(Invocation &inv);
int cmd_stats(Invocation &inv);
int cmd_user(Invocation &inv);
int cmd_group(Invocation &inv);
int cmd_nukes(Invocation &inv);
int cmd_release(Invocation &inv);
int cmd_who(Invocation &inv);

// True when --json was given before or after the subcommand.
inline bool want_json(const Invocation &inv, const Parsed &p) { return inv.json || p.has("--json"); }

} // namespace sk::cli

#endif
