// The subcommands. Each adds itself to the command line with its own
// options, and sets `run` when it is the one given.
#pragma once

#include <span>

#include "command_line.h"

namespace korvex::cli {

using AddCommand = void (*)(CLI::App& app, Run& run);

// addPower adds shutdown, reboot and restart.
extern const AddCommand addList, addTree, addStat, addGet, addPut, addSync, addMove, addRemove,
    addRemoveDirectory, addMakeDirectory, addChown, addFreeSpace, addState, addPower,
    addShell;
extern const AddCommand addCat;
#ifdef KORVEX_WEB
extern const AddCommand addWeb;  // built with the HTTP library (web/)
#endif

// Every subcommand, in the order --help lists them; the shell runs its lines
// through the same table.
std::span<const AddCommand> commandTable();
// The shell on the given session, as `korvex` with no command on a terminal runs it.
int runShell(Context& context);

}  // namespace korvex::cli
