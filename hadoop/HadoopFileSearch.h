// File search: finds a named file on the local machine and returns the directory that holds the
// best copy of it. The installation detection uses it to find libhdfs.so and libjvm.so.
//
// The best copy is the largest regular file among the hits, after symbolic links are followed;
// the answer is the directory of the file a link finally points to, not of the link. Ties go to
// the earliest hit; an empty file never wins; a hit that cannot be resolved or examined is
// passed over.
//
// Thread-safety: no shared state; each Locate owns its child process, so calls may run at once.
#pragma once

#include <list>
#include <string>

#include "host/Error.h"
#include "host/Export.h"

// The directory of the best of `candidates` (see above), or "" when none qualifies. Never fails,
// never logs.
HDFSAGENT_API std::string GetIdealPath(const std::list<std::string>& candidates);

// Looks for files named exactly `name` at any depth below the directory `path`; on success
// `result` holds the chosen directory. Every failure is ENOENT (2): an empty `path` (nothing
// logged, `result` untouched), an unreadable directory or no match ("Failed to find %s in path
// %s" logged), no qualifying match (nothing logged). `result` is emptied once `path` is known.
HDFSAGENT_API CEkError Search(const std::string& path, const std::string& name,
                              std::string& result);

// Runs `locate <name>` and chooses among the paths it prints; on success `result` holds the
// chosen directory. It is left unchanged when locate fails and emptied when no printed path
// qualifies. Every failure is ENOENT (2), logged at error
// level: locate cannot be started, exits non-zero (its standard error logged), or runs past the
// deadline (60 s; $HDFSAGENT_LOCATE_TIMEOUT_MS overrides it in milliseconds), in which case the
// child is killed with SIGKILL and reaped. No qualifying path: ENOENT without a log line.
HDFSAGENT_API CEkError Locate(const std::string& name, std::string& result);
