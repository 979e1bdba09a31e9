// The monitor's demonstration mode (siteview -D). C++ only; part of the
// siteview program.
#ifndef SITEKIT_MONITOR_DEMO_H
#define SITEKIT_MONITOR_DEMO_H

#include <cstddef>
#include <string>

namespace sk::demo {

// Runs the view over count slots at base, stride bytes apart; returns the
// program's exit status.
using view_runner = int (*)(char *base, std::size_t count, std::size_t stride);

// Makes a small site tree below the temporary directory holding the
// simulated users' directories, so that the directory view has something to
// list. Returns its path, or "" when it cannot be made; the caller removes it.
std::string make_demo_site();

// Makes a private table (removed once the view and the simulation detach),
// starts the simulation in a child process and runs the view over the table.
// Returns the view's exit status, or 1 after a message on standard error
// when the table or the simulation cannot be had.
int run_demo(view_runner run_view);

} // namespace sk::demo

#endif
