// What is settled before supervising: the state directory (for the host, and for a client that
// looks for it), and the commands made ready to run (at the start, and again at a reload).
#pragma once

#include <string>

#include "command_list.h"

namespace kestravo_host {

// The state directory: the one given (made absolute), else KESTRAVO_STATE_DIR or systemd's, else
// the user's default, for which *byDefault is set. Empty when there is none (no home directory).
std::string ChooseStateDir(const std::string& given, bool* byDefault);

// Notes which programs cannot be run (Command::cannotRun), names the commands, gives them their
// output files in the state directory (or --output-dir) and puts them under kestravo-run. 0 when
// done, else the host's exit code for it (2: an output file cannot be used, or the one program
// of a command line cannot be run; 1: no kestravo-run), with *error saying why.
int PrepareCommands(Options* options, const std::string& stateDir, std::string* error);

}  // namespace kestravo_host
