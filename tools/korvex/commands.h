// The subcommands. Each adds itself to the command line with its own
// options, and sets `run` when it is the one given.
#pragma once

#include "command_line.h"

namespace korvex::cli {

using AddCommand = void (*)(CLI::App& app, Run& run);

// addPower adds shutdown, reboot and restart.
extern const AddCommand addList, addTree, addStat, addGet, addPut, addSync, addMove, addRemove,
    addRemoveDirectory, addMakeDirectory, addChown, addFreeSpace, addState, addPower;
extern const AddCommand addCat;

}  // namespace korvex::cli
