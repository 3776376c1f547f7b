// The settings of one program, as the programs file and the command line give them, and the INI
// programs file: a [NAME] section a program.
#pragma once

#include <string>
#include <vector>

#include "command_list.h"

namespace kestravo_host {

// Applies one setting, named as in the programs file ("directory", "env", "grace", "name"...), to
// command; shown is how the user wrote its name, for *error. False with *error for a bad value or
// an unknown setting. "command" is not one of these: the file and the command line give it apart.
bool ApplySetting(const std::string& key, const std::string& shown, const std::string& value, Command* command,
                  std::string* error);

// The setting a command-line option gives ("--chdir": "directory"); empty for other options.
std::string SettingOfOption(const std::string& option);

// Fills what command leaves unset from defaults (the options before "--"); their variables come
// before the command's own, so that the command's win.
void AddDefaults(const Command& defaults, Command* command);

// The option of the first setting of command that only kestravo-run carries out; empty for none.
std::string SettingNeedingAdapter(const Command& command);

// The options that hand command's settings to kestravo-run, each followed by a blank.
std::string AdapterOptions(const Command& command);

// Every name that a command's after gives is a command's, and no chain of them comes back to
// where it began. False with *error "PATH:LINE: why", the line of the after setting at fault.
bool CheckAfter(const std::vector<Command>& commands, std::string* error);

// Whether a programs file is INI: a line that is not a comment starts with '[', or a comment
// line holds a commented-out [section] and a later line that is not a comment looks like
// NAME = VALUE (a section commented out above its settings). Otherwise it is a list of command
// lines.
bool IsIniText(const std::string& text);

// Reads an INI programs file (text, read from path) onto commands. False with *error
// "PATH:LINE: why" for a line that is not a setting, an unknown setting or a bad value, a program
// without a command, a name given twice.
bool ReadProgramsIni(const std::string& path, const std::string& text, std::vector<Command>* commands,
                     std::string* error);

}  // namespace kestravo_host
