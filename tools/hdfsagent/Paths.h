// Paths of the tool: relative entry paths of a backup, their order and exclusion globs.
//
// An entry path is relative to the root of a backup: "." is the root itself, every other path
// is "a/b/c" (no leading or trailing "/", no empty, "." or ".." components). The order of a
// backup is depth first with the children of a directory in byte order of their names, so a
// directory comes right before its contents; ComparePathOrder compares two paths in that order.
// Every manifest is written in it, which lets an incremental backup and a verify walk a tree and
// a manifest side by side without holding either in memory.
#pragma once

#include <string>
#include <vector>

namespace tool {

// <0, 0, >0 as `a` comes before, equals or comes after `b` in backup order.
int ComparePathOrder(const std::string& a, const std::string& b);
// True when `ancestor` is a proper ancestor of `path` ("." is the ancestor of everything else).
bool IsAncestorPath(const std::string& ancestor, const std::string& path);
// `parent` joined with one name ("." + "x" is "x").
std::string JoinEntryPath(const std::string& parent, const std::string& name);
// An absolute HDFS path joined with an entry path ("." gives `root` itself).
std::string JoinHdfsPath(const std::string& root, const std::string& entryPath);
// The parent of an entry path ("a" -> ".", "a/b" -> "a"); "." for ".".
std::string ParentEntryPath(const std::string& path);
// The last component of a path or URI ("hdfs://h:1/a/b" -> "b", "/" -> "").
std::string LastComponent(const std::string& path);
// True for "." and for relative paths of non-empty components other than "." and "..".
bool IsValidEntryPath(const std::string& path);
// An HDFS path the tool accepts: absolute, without "." or ".." components; a trailing "/" and
// repeated "/" are removed ("//a/b/" -> "/a/b"). False for anything else.
bool NormalizeHdfsPath(const std::string& text, std::string& normalized);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF). HDFS names are UTF-8; anything else cannot travel as JSON text as it is.
bool IsValidUtf8(const std::string& text);

// The --namenode value the tool accepts: "default", or [hdfs://]HOST[:PORT] with a host of
// letters, digits, ".", "-" and "_" and a port of digits only (1-65535). Anything else (a port
// with trailing characters, a path, spaces) would reach the connection and the manifest as is.
bool IsValidNameNode(const std::string& text);

// Exclusion globs (fnmatch). A pattern with a "/" is matched against the whole entry path, one
// without against the entry's name, so "*.tmp" excludes every such file and "logs/2023*" only
// those below the top-level "logs".
bool IsExcluded(const std::vector<std::string>& patterns, const std::string& entryPath);

}  // namespace tool
