// A backup directory on the local disk, reached only through directory descriptors.
//
// CBackupDestination is the directory a backup writes: opened once (O_DIRECTORY|O_NOFOLLOW),
// locked against a second backup into it for as long as the object lives, and the only way the
// backup makes directories and files below it (mkdirat, openat with O_CREAT|O_EXCL|O_NOFOLLOW),
// so nothing another user plants there (a link, a swapped directory) redirects a write.
//
// CBackupChain is what restore and verify read: the backup and the earlier backups an
// incremental one refers to (the header's `previous`, followed recursively). A manifest entry's
// content must lie in the `data` directory of one of them; anything else is refused like an
// unsafe path, and each copy is opened without following links and must be a regular file.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "LocalFile.h"
#include "Manifest.h"

namespace tool {

class CBackupDestination {
  public:
    // Opens the existing directory `path` and takes its lock. False with the reason in `error`:
    // not a directory, a symbolic link, or in use by another backup. `warning` is set when
    // another user can write the directory (the backup goes on).
    bool Open(const std::string& path, std::string& warning, std::string& error);
    // Makes `path` (and missing parents) first when it does not exist, then Open.
    bool Create(const std::string& path, std::string& warning, std::string& error);
    bool IsOpen() const { return m_oDir.IsOpen(); }
    int Fd() const { return m_oDir.Get(); }
    const std::string& Path() const { return m_sPath; }

    // The directory must be empty or hold only what an interrupted backup left (its data
    // directory and partial manifest); `leftovers` tells whether there is something to clean.
    bool Check(bool& leftovers, std::string& error) const;
    // Removes what an interrupted backup left, following no link.
    bool RemoveLeftovers(std::string& error);
    // Makes the data directory and keeps it open.
    bool MakeDataDirectory(std::string& error);

    // Below the data directory, by entry path ("." is the content of a root that is a file).
    bool MakeDirectory(const std::string& entryPath, std::string& error) const;
    // Creates a new file owner-only; -1 with the reason in `error`.
    int CreateFile(const std::string& entryPath, std::string& error) const;
    void RemoveFile(const std::string& entryPath) const;
    // The location of an entry's content relative to the backup directory ("data/a/b").
    static std::string DataLocation(const std::string& entryPath);

  private:
    std::string Shown(const std::string& entryPath) const;

    std::string m_sPath;
    CFd m_oDir;
    CFd m_oData;
};

class CBackupChain {
  public:
    // Opens the backup directory `dir` (its header read from the manifest) and, following
    // `previous`, the earlier backups. An earlier backup that cannot be opened ends the chain
    // there: the copies it should hold are reported missing when they are opened. False only
    // when `dir` itself or its manifest's header cannot be read.
    bool Open(const std::string& dir, std::string& error);
    // Whether `data` (a location relative to the backup directory) lies in the data directory
    // of a backup of the chain. Otherwise false with the reason in `why`.
    bool Holds(const std::string& data, std::string& why) const;
    // Opens the copy at `data` for reading (a regular file, no link followed); -1 with the
    // reason in `why`.
    int OpenCopy(const std::string& data, std::string& why) const;
    // `data` as a path to show ("<dir>/data/a").
    std::string Shown(const std::string& data) const { return m_sDir + "/" + data; }

  private:
    struct Member {
        std::string prefix;  // its data directory relative to the first backup ("../full/data")
        CFd data;
        std::string error;  // why `data` is not open
    };
    // The member whose data directory holds `data`, with the rest of the path in `relative`.
    const Member* Find(const std::string& data, std::string& relative) const;
    void Add(const std::string& dir, const std::string& prefix);

    std::string m_sDir;
    std::vector<std::unique_ptr<Member>> m_vMembers;
};

}  // namespace tool
