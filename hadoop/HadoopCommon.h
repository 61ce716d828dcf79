// Hadoop utilities: command lines for the Hadoop client programs, the property-file editor and
// native Hadoop logging.
//
// Command lines: every shell command that runs hadoop, hdfs, hbase or hdp-select starts with the
// program these functions return. The settings "sHadoopBinPath" and "sHBaseBinPath" (section
// "FileSystemAgent") name the directories of the Hadoop and HBase programs; they are read at
// every call. Callers append a blank and the sub-command themselves.
//
// Property files: AddOrUpdateFieldInConfigFile sets one key of a Java-style property file. The
// key is matched literally at the start of a logical line (leading blanks allowed), followed by
// optional blanks and "=" or ":"; continuation lines (a line ending in an odd number of
// backslashes) belong to the entry they continue. Every matching entry is replaced by
// "key=value" and the line end it had; the value is written literally. A missing key is appended
// on a line of its own, with the file's line-end style. Every other byte stays as it was. The
// file is replaced atomically (temporary file in its directory, flushed, renamed over it, mode
// kept); a symbolic link is followed, so the file it points to is the one replaced.
//
// Native logging: EnableNativeHadoopLogging installs <home>/dxjars/dxhadoopnativelog4j.properties
// as <logConfigDir>/log4j.properties (refreshed when the template is newer) and points its
// "hadoop.log.dir" at the product's log directory; ResetNativeHadoopLogLevel sets its
// "hadoop.root.logger" from the setting "DxHadoopNative_DEBUGLEVEL" (section "EventManager").
//
// Thread-safety: no shared state; the functions may run on any thread. Two writers of one file
// at the same time may lose one another's change (each reads, edits and replaces the whole file).
#pragma once

#include <string>

#include "host/Error.h"
#include "host/Export.h"

// The program to start a command line for the Hadoop client program `name`: `name` itself when
// "sHadoopBinPath" is absent or empty, else the directory joined with `name` by one "/" — quoted
// for the shell when the directory holds characters the shell interprets. Never fails.
HDFSAGENT_API std::string GetHadoopCommand(const std::string& name);
// The same for an HBase client program, from "sHBaseBinPath".
HDFSAGENT_API std::string GetHBaseCommand(const std::string& name);
// Empties `arg`, runs "<hdp-select> -v" and, when it exits with 0, sets `arg` to
// "-Dhdp.version=" and its output without trailing newlines. Always succeeds; a caller that
// needs the version tests `arg` for emptiness.
HDFSAGENT_API CEkError GetHDPversionArg(std::string& arg);

// Sets `key` to `value` in the property file `filePath` (see above). Errors: the read error
// (ENOENT for a missing file, which is not created); EINVAL "Invalid property key '%s'" for an
// empty key or one holding blanks at its ends, a line break, "=" or ":"; EINVAL "Invalid
// property value for '%s'" for a value holding a line break; EACCES "'%s' is read-only" when
// the file has no write permission bit or the caller may not write it; the replacement's error.
// On every failure the file is unchanged. Each error has this location pushed.
HDFSAGENT_API CEkError AddOrUpdateFieldInConfigFile(const std::string& filePath,
                                                    const std::string& key,
                                                    const std::string& value);
// Sets "hadoop.root.logger" in <logConfigDir>/log4j.properties from "DxHadoopNative_DEBUGLEVEL":
// 1 "DEBUG, RFA", 0 (the default) "INFO, RFA", any other number an empty value. Success without
// doing anything when `logConfigDir` is empty or the file does not exist. An editor failure is
// returned with "Failed to update log file in config file" pushed.
HDFSAGENT_API CEkError ResetNativeHadoopLogLevel(const std::string& logConfigDir);
// Installs the native logging template as <logConfigDir>/log4j.properties: copied when the file
// is missing, or when the template's modification time is later than the installed file's (the
// installed file is kept, and the reason logged, when either time cannot be read). Then sets
// "hadoop.log.dir" to the product's log directory. Success without doing anything when
// `logConfigDir` is empty. Errors: the copy's error with "Failed to copy '%s' to '%s'" pushed;
// the editor's error with "Failed to update log directory in config file" pushed.
HDFSAGENT_API CEkError EnableNativeHadoopLogging(const std::string& logConfigDir);
