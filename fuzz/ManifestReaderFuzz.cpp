// Fuzzes the backup manifest reader with arbitrary manifest text.
//
// The first input byte chooses the shape: bit 0 puts a valid header line in front of the rest
// (so entry lines are reached), bit 1 appends a trailer whose checksum matches the text (so the
// trailer's checks are reached). The rest is the text.
//
// Properties: reading never crashes, hangs or recurses without bound, whatever the nesting or
// length of a line; every refusal names the manifest and a line; every entry the reader accepts
// has its fields in range (no setuid/setgid bit, block size within 32 bits, times within
// 1970..9999, a safe path); and the entries accepted before the end or a refusal, written again
// by the writer, read back field for field the same (names that are not UTF-8 included).
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "Hash.h"
#include "Manifest.h"
#include "Paths.h"

namespace {

const char kHeader[] =
    "{\"format\":\"hdfsagent-backup\",\"version\":1,\"root\":\"/data\",\"source\":"
    "\"hdfs://localhost:8020/data\",\"hash\":\"xxh3-128\",\"acl\":true,\"created\":1709294400}\n";
const size_t kMaxEntriesCompared = 64;

// A directory of its own for the whole run, removed at exit. The writer syncs what it writes: in
// memory (/dev/shm) that costs nothing, on a disk it would make each run take milliseconds.
class CRunDirectory {
  public:
    explicit CRunDirectory(const char* name) {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        m_sPath = std::string(base) + "/hdfsagent-fuzz-" + name + "-XXXXXX";
        if (mkdtemp(&m_sPath[0]) == nullptr)
            abort();
    }
    ~CRunDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(m_sPath, ec);
    }
    const std::string& Path() const { return m_sPath; }

  private:
    std::string m_sPath;
};

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        abort();
}

void Require(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "property violated: %s\n", what);
        abort();
    }
}

void CheckRanges(const tool::ManifestEntry& entry) {
    Require(tool::IsValidEntryPath(entry.path), "accepted path is valid");
    Require((entry.permission & ~01777u) == 0, "no setuid, setgid or other bits");
    Require(entry.blockSize >= 0 && entry.blockSize <= 2147483647, "block size within 32 bits");
    Require(entry.mtime >= 0 && entry.mtime <= 253402300799, "modification time in range");
    Require(entry.atime >= 0 && entry.atime <= 253402300799, "access time in range");
    Require(entry.replication >= 0 && entry.replication <= 32767, "replication in range");
}

// ACLs and extended attributes are the service's JSON, kept as such (a number too large for a
// double would come back as null); every other field must survive byte for byte.
bool SameEntry(const tool::ManifestEntry& a, const tool::ManifestEntry& b) {
    return a.path == b.path && a.directory == b.directory && a.size == b.size &&
           a.permission == b.permission && a.owner == b.owner && a.group == b.group &&
           a.mtime == b.mtime && a.atime == b.atime && a.replication == b.replication &&
           a.blockSize == b.blockSize && a.zone == b.zone && a.hash == b.hash && a.data == b.data &&
           a.referenced == b.referenced && a.status == b.status;
}

// Writes `entries` with the writer and reads them back: the same entries must come out.
void CheckRewrite(const std::string& dir, const tool::ManifestHeader& header,
                  const std::vector<tool::ManifestEntry>& entries) {
    tool::CManifestWriter writer;
    std::string error;
    Require(writer.Open(dir, header, error), "rewrite opens");
    for (const tool::ManifestEntry& entry : entries)
        Require(writer.Write(entry, error), "rewrite writes");
    Require(writer.Commit(false, error), "rewrite commits");
    tool::CManifestReader reader;
    Require(reader.Open(dir, error), "rewritten manifest opens");
    Require(reader.Header().root == header.root, "rewritten root");
    tool::ManifestEntry read;
    for (const tool::ManifestEntry& entry : entries) {
        Require(reader.Next(read, error) == 1, "rewritten entry reads");
        Require(SameEntry(entry, read), "rewritten entry is the same");
    }
    Require(reader.Next(read, error) == 0, "rewritten manifest ends with its trailer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CRunDirectory inputDir("in");
    static const CRunDirectory rewriteDir("out");
    const std::string& input = inputDir.Path();
    const std::string& rewrite = rewriteDir.Path();
    if (size == 0)
        return 0;
    const unsigned shape = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (shape & 1)
        text = kHeader + text;
    if (shape & 2) {
        tool::CTextChecksum checksum;
        checksum.Update(text);
        text +=
            "{\"trailer\":{\"entries\":0,\"files\":0,\"directories\":0,\"bytes\":0,"
            "\"referenced\":0,\"problems\":0,\"checksum\":\"" +
            checksum.HexDigest() + "\"}}\n";
    }
    WriteText(input + "/" + tool::kManifestName, text);

    tool::CManifestReader reader;
    std::string error;
    if (!reader.Open(input, error)) {
        Require(error.find(tool::kManifestName) != std::string::npos, "refusal names the file");
        return 0;
    }
    std::vector<tool::ManifestEntry> entries;
    tool::ManifestEntry entry;
    int rc;
    while ((rc = reader.Next(entry, error)) > 0) {
        CheckRanges(entry);
        if (entries.size() < kMaxEntriesCompared)
            entries.push_back(entry);
    }
    if (rc < 0)
        Require(error.find(std::string(tool::kManifestName) + ":") != std::string::npos,
                "refusal names the file and line");
    CheckRewrite(rewrite, reader.Header(), entries);
    return 0;
}
