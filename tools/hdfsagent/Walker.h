// Walks an HDFS tree in backup order (Paths.h) through the library's ListDirectory: depth first,
// the entries of each directory sorted by name. It holds only the listings of the directories
// on the current path, so memory grows with the depth of the tree and the size of those
// listings, never with the whole tree.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hadoop/HadoopFS.h"

namespace tool {

struct WalkEntry {
    std::string path;      // entry path ("." for the root)
    std::string hdfsPath;  // absolute HDFS path
    bool directory = false;
    uint64_t size = 0;
    unsigned permission = 0;
    std::string owner;
    std::string group;
    int64_t mtime = 0;
    int64_t atime = 0;
    int replication = 0;
    int64_t blockSize = 0;
    // A directory whose listing failed (its contents are skipped): why.
    std::string listError;
};

// The listing fields of one record.
void FillWalkEntry(const hdfsFileInfo& info, WalkEntry& entry);

class CTreeWalker {
  public:
    typedef std::function<bool(const WalkEntry&)> Visitor;  // false stops the walk

    CTreeWalker(CHadoopFS& fs, std::string root, std::vector<std::string> excludes);

    // Visits the root and everything below it that is not excluded. False when the root itself
    // cannot be read (`error` says why) or the visitor stopped the walk (`error` empty).
    bool Walk(const Visitor& visit, std::string& error);

  private:
    CHadoopFS& m_oFS;
    std::string m_sRoot;
    std::vector<std::string> m_vExcludes;
};

}  // namespace tool
