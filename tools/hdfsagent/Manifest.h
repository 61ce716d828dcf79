// The backup manifest: JSON lines, one object per line.
//
//   line 1      header  {"format":"hdfsagent-backup","version":1,"root":"/data",...}
//   lines 2..n  entries {"path":"a/b","type":"file","size":12,"permission":"0644",...}
//               in backup order (Paths.h), the root "." first
//   last line   trailer {"trailer":{"entries":n,"files":..,"checksum":"<xxh3-64 of lines 1..n>"}}
//
// It is written under a temporary name in the backup directory and renamed to manifest.jsonl
// only when complete (the trailer written and everything synced), so a backup directory either
// holds a whole manifest or none under the final name. The reader refuses, with a message naming
// the file and line: a text that is not a manifest, a newer format version, a line that does
// not parse, is too long or nests too deep, a missing field or one out of its range (setuid or
// setgid bits, a block size beyond 32 bits, times outside 1970..9999), entries out of order,
// with unsafe paths or below a file, a missing trailer (truncated), a checksum or count mismatch
// (corrupted), anything after the trailer.
//
// Names are bytes: a path, owner, group or zone that is not UTF-8 is stored as "<field>_hex"
// (lower-case hex of its bytes) instead of "<field>", and read back to the same bytes.
// Both sides stream: memory does not grow with the number of entries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Hash.h"

namespace tool {

constexpr int kManifestVersion = 1;
constexpr const char* kManifestFormat = "hdfsagent-backup";
constexpr const char* kManifestName = "manifest.jsonl";
constexpr const char* kManifestPartialName = ".manifest.jsonl.partial";
constexpr const char* kDataDirName = "data";

struct ManifestHeader {
    int version = kManifestVersion;
    std::string root;    // the HDFS path backed up
    std::string source;  // the same with the file system prefix ("hdfs://host:port/data")
    std::string hash;    // content hash algorithm
    bool acl = true;     // entries carry ACLs and extended attributes
    int64_t created = 0;
    std::string previous;  // the previous backup of an incremental one, relative to this one
    std::vector<std::string> excludes;
};

// Entry status: what the backup could take of the path.
constexpr const char* kStatusOk = "ok";
constexpr const char* kStatusChanged = "changed";    // copied, but it changed while being read
constexpr const char* kStatusVanished = "vanished";  // gone before it could be read
constexpr const char* kStatusFailed = "failed";      // could not be read (detail says why)
// copied whole, but its ACL and extended attributes could not be read (detail says why)
constexpr const char* kStatusPartial = "partial";

struct ManifestEntry {
    std::string path;  // entry path ("." for the root)
    bool directory = false;
    uint64_t size = 0;
    unsigned permission = 0;  // 07777, sticky bit included
    std::string owner;
    std::string group;
    int64_t mtime = 0;  // seconds
    int64_t atime = 0;
    int replication = 0;
    int64_t blockSize = 0;
    std::string zone;  // encryption zone root, "" when none
    // ACL state ("AclStatus") and extended attributes ("XAttrs") as the REST service returned
    // them; null when the backup was made without them.
    nlohmann::json acl;
    nlohmann::json xattrs;
    std::string hash;         // files: content hash (hex)
    std::string data;         // files: the content's location relative to the backup directory
    bool referenced = false;  // data lives in an earlier backup
    std::string status = kStatusOk;
    std::string detail;

    bool HasContent() const {
        return !directory &&
               (status == kStatusOk || status == kStatusChanged || status == kStatusPartial);
    }
};

struct ManifestTrailer {
    uint64_t entries = 0;
    uint64_t files = 0;  // file entries with content
    uint64_t directories = 0;
    uint64_t bytes = 0;       // bytes of the files with content
    uint64_t referenced = 0;  // files whose content lies in an earlier backup
    uint64_t problems = 0;    // entries whose status is not "ok"
    std::string checksum;

    void Count(const ManifestEntry& entry);
};

std::string FormatPermission(unsigned permission);  // "0755", "1777"
bool ParsePermission(const std::string& text, unsigned& permission);

class CManifestWriter {
  public:
    CManifestWriter() = default;
    // Removes the temporary manifest unless Commit succeeded.
    ~CManifestWriter();
    CManifestWriter(const CManifestWriter&) = delete;
    CManifestWriter& operator=(const CManifestWriter&) = delete;

    // Creates .manifest.jsonl.partial in the directory `dirFd` (a leftover is removed first; a
    // name that reappears in between, a link included, fails the open), owner-only until
    // Commit, and writes the header. `dir` names the directory in messages.
    bool Open(int dirFd, const std::string& dir, const ManifestHeader& header, std::string& error);
    // The same in the directory `dir`, opened without following a link.
    bool Open(const std::string& dir, const ManifestHeader& header, std::string& error);
    // Appends one entry. Fails for write errors.
    bool Write(const ManifestEntry& entry, std::string& error);
    // Writes the trailer, syncs the manifest and (when `syncData`) the file system of the
    // backup directory, then renames the manifest to its final name and syncs the directory.
    bool Commit(bool syncData, std::string& error);
    // Removes the temporary manifest.
    void Abort();

    const ManifestTrailer& Counts() const { return m_oTrailer; }

  private:
    bool Append(const std::string& line, std::string& error);
    bool Flush(std::string& error);

    std::string m_sDir;
    std::string m_sPartial;  // shown in messages; empty when there is no partial file
    int m_nDirFd = -1;
    int m_nFd = -1;
    std::string m_sBuffer;
    ManifestTrailer m_oTrailer;
    std::unique_ptr<CTextChecksum> m_pChecksum;
};

class CManifestReader {
  public:
    CManifestReader();
    ~CManifestReader();
    CManifestReader(const CManifestReader&) = delete;
    CManifestReader& operator=(const CManifestReader&) = delete;

    // Opens <dir>/manifest.jsonl and reads its header.
    bool Open(const std::string& dir, std::string& error);
    const ManifestHeader& Header() const { return m_oHeader; }
    // 1: `entry` holds the next entry; 0: the end, the trailer checked; -1: `error` says why.
    int Next(ManifestEntry& entry, std::string& error);
    const ManifestTrailer& Trailer() const { return m_oTrailer; }
    const std::string& Path() const { return m_sPath; }
    uint64_t LineNumber() const { return m_nLine; }

  private:
    // 1 a line, 0 end of file, -1 error.
    int ReadLine(std::string& line, std::string& error);
    // Opens the manifest of `dir`: a regular file reached through no link.
    bool OpenRegularFile(const std::string& dir, std::string& error);
    // The first line, parsed: a JSON object that names the manifest format.
    bool ReadHeaderLine(nlohmann::json& header, std::string& error);
    // The header's fields into m_oHeader: a version this reader knows, a known content hash.
    bool ParseHeader(const nlohmann::json& header, std::string& error);
    bool Fail(const std::string& message, std::string& error) const;
    bool CheckTrailer(const nlohmann::json& object, const std::string& expectedChecksum,
                      std::string& error);

    std::string m_sPath;
    int m_nFd = -1;
    std::string m_sBuffer;
    size_t m_nBufferPos = 0;
    bool m_bEof = false;
    uint64_t m_nLine = 0;
    ManifestHeader m_oHeader;
    ManifestTrailer m_oTrailer;
    ManifestTrailer m_oCounted;
    std::string m_sLastPath;
    bool m_bLastIsFile = false;
    bool m_bDone = false;
    std::unique_ptr<CTextChecksum> m_pChecksum;
};

// Reads the whole manifest of `dir` once, checking everything (nothing else is done). `check`,
// when given, is asked about each entry as well: false with the reason in its `why` refuses the
// manifest at that entry's line.
using EntryCheck = std::function<bool(const ManifestEntry& entry, std::string& why)>;
bool ValidateManifest(const std::string& dir, ManifestHeader& header, ManifestTrailer& trailer,
                      std::string& error, const EntryCheck& check = nullptr);

}  // namespace tool
