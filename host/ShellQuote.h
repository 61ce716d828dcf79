// Quoting for /bin/sh.
//
// ShellQuote(piece) returns `piece` unchanged when it holds only characters the shell never
// interprets (letters, digits and "@%+=:,./_-"), so ordinary paths and names stay byte-identical;
// otherwise it returns it in single quotes, with each single quote written as '\''. The empty
// string becomes ''. Every value that comes from a caller, a setting, a configuration file or the
// file system goes through it before it enters a command line.
#pragma once

#include <string>

#include "host/Export.h"

HDFSAGENT_API std::string ShellQuote(const std::string& piece);
// True when ShellQuote would change the piece.
HDFSAGENT_API bool NeedsShellQuoting(const std::string& piece);
