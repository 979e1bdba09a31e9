// The subcommands of the sitekit program, in the order of the main help.
// A new one is a cmd_*.cpp file defining `const Command <name>_command`
// (the build picks the file up) and its line in this table.
#ifndef SITEKIT_APP_COMMANDS_H
#define SITEKIT_APP_COMMANDS_H

#include "cli.h"

#define SITEKIT_COMMANDS(X)                                                                                  \
    X(help)                                                                                                  \
    X(check)                                                                                                 \
    X(release)                                                                                               \
    X(race)                                                                                                  \
    X(dirlog)                                                                                                \
    X(dupe)                                                                                                  \
    X(dupelog)                                                                                               \
    X(search)                                                                                                \
    X(log)                                                                                                   \
    X(announce)                                                                                              \
    X(msg)                                                                                                   \
    X(stats)                                                                                                 \
    X(user)                                                                                                  \
    X(group)                                                                                                 \
    X(nukes)                                                                                                 \
    X(who)                                                                                                   \
    X(doctor)

namespace sk::cli {

#define SITEKIT_DECLARE_COMMAND(name) extern const Command name##_command;
SITEKIT_COMMANDS(SITEKIT_DECLARE_COMMAND)
#undef SITEKIT_DECLARE_COMMAND

// True when --json was given before or after the subcommand.
inline bool want_json(const Invocation &inv, const Parsed &p) {
    return inv.json || p.has("--json");
}

} // namespace sk::cli

#endif
