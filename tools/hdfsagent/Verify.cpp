// hdfsagent verify DEST_DIR [HDFS_PATH]: re-hashes every copy of the backup against its manifest
// and, with HDFS_PATH, walks the live tree side by side with the manifest and compares each
// path: type, size, content hash, permissions, owner, group, times, replication, block size,
// encryption zone, ACL and extended attributes. Every difference is printed; exit 3 when there
// were any. An entry the backup itself recorded with a problem (no content, content that changed
// while it was read, metadata it could not read) is a difference too: such a backup is never
// "identical".
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <boost/shared_ptr.hpp>
#include <vector>

#include "BackupDir.h"
#include "Cluster.h"
#include "Commands.h"
#include "Hash.h"
#include "Interrupt.h"
#include "LocalFile.h"
#include "Manifest.h"
#include "Opening.h"
#include "Paths.h"
#include "Walker.h"

namespace tool {

namespace {

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

nlohmann::json Sorted(nlohmann::json array) {
    if (array.is_array())
        std::sort(array.begin(), array.end());
    return array;
}

class CVerify {
  public:
    CVerify(const VerifyOptions& options, CReporter& reporter)
        : m_oOptions(options), m_oReporter(reporter) {}

    int Run(const ConnectOptions& connect);

  private:
    // Each returns kExitOk to go on, else the exit status (the failure reported).
    int Prepare(const ConnectOptions& connect);
    int CompareAll();
    int Summarise();
    bool Advance();
    bool VisitLive(const WalkEntry& live);
    void Missing(const ManifestEntry& entry);
    void CheckBackupCopy(const ManifestEntry& entry);
    void ReportRecordedProblem(const ManifestEntry& entry);
    void Compare(const ManifestEntry& entry, const WalkEntry& live);
    void CompareAcl(const ManifestEntry& entry, const WalkEntry& live);
    // Hash of an HDFS file; false (reported) when it cannot be read.
    bool HashLive(const WalkEntry& live, std::string& hash, uint64_t& size);
    void Difference(const std::string& path, const std::string& text) {
        m_oReporter.Problem(path, text);
    }
    template <typename T>
    void Field(const ManifestEntry& entry, const char* name, const T& backup, const T& live) {
        if (!(backup == live))
            Difference(entry.path, std::string(name) + " differs: backup " + Text(backup) +
                                       ", HDFS " + Text(live));
    }
    static std::string Text(const std::string& value) { return Quoted(value); }
    template <typename T>
    static std::string Text(const T& value) {
        return std::to_string(value);
    }
    void Fatal(const std::string& message) {
        if (m_sFatal.empty())
            m_sFatal = message;
    }

    const VerifyOptions& m_oOptions;
    CReporter& m_oReporter;
    CCluster m_oCluster;
    bool m_bLive = false;
    bool m_bAcl = false;
    std::string m_sRoot;
    ManifestHeader m_oHeader;
    ManifestTrailer m_oTrailer;
    CBackupChain m_oChain;
    CManifestReader m_oReader;
    ManifestEntry m_oEntry;
    int m_nState = 0;  // 1 m_oEntry holds the next manifest entry, 0 end, -1 error
    std::string m_sReadError;
    std::vector<char> m_vBuffer;
    CContentHash m_oHash;
    std::string m_sFatal;
    uint64_t m_nChecked = 0;
};

bool CVerify::Advance() {
    m_nState = m_oReader.Next(m_oEntry, m_sReadError);
    if (m_nState > 0) {
        ReportRecordedProblem(m_oEntry);
        CheckBackupCopy(m_oEntry);
    }
    return m_nState >= 0;
}

void CVerify::ReportRecordedProblem(const ManifestEntry& entry) {
    if (entry.status == kStatusOk)
        return;
    std::string text = "the backup recorded it as " + entry.status;
    if (!entry.detail.empty())
        text += " (" + entry.detail + ")";
    if (!entry.directory && !entry.HasContent())
        text += "; the backup holds no content for it";
    Difference(entry.path, text);
}

void CVerify::CheckBackupCopy(const ManifestEntry& entry) {
    if (!entry.HasContent())
        return;
    const std::string local = m_oChain.Shown(entry.data);
    std::string why;
    CFd in(m_oChain.OpenCopy(entry.data, why));
    if (!in.IsOpen()) {
        Difference(entry.path, "the backup copy is missing: " + local + ": " + why);
        return;
    }
    m_oHash.Reset();
    uint64_t size = 0;
    for (;;) {
        if (Interrupted())
            return;
        const ssize_t n = ReadSome(in.Get(), m_vBuffer.data(), m_vBuffer.size());
        if (n < 0) {
            Difference(entry.path, ErrnoMessage("cannot read the backup copy", local, errno));
            return;
        }
        if (n == 0)
            break;
        m_oHash.Update(m_vBuffer.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
        m_oReporter.AddBytes(static_cast<uint64_t>(n));
    }
    if (size != entry.size || m_oHash.HexDigest() != entry.hash)
        Difference(entry.path, "the backup copy " + local + " does not match the manifest (" +
                                   std::to_string(size) + " bytes, hash " + m_oHash.HexDigest() +
                                   ")");
    m_oReporter.FileDone();
    ++m_nChecked;
}

void CVerify::Missing(const ManifestEntry& entry) {
    // A file that vanished while it was backed up is not expected.
    if (entry.status == kStatusVanished)
        return;
    Difference(entry.path, "in the backup, missing from HDFS");
}

bool CVerify::HashLive(const WalkEntry& live, std::string& hash, uint64_t& size) {
    boost::shared_ptr<CHadoopFile> file;
    errno = 0;
    if (m_oCluster.Fs().Open(live.hdfsPath.c_str(), O_RDONLY, file, 0, 0, 0) != 0 || !file) {
        Difference(live.path, ErrnoMessage("cannot open", live.hdfsPath, errno != 0 ? errno : EIO));
        return false;
    }
    m_oHash.Reset();
    size = 0;
    for (;;) {
        if (Interrupted())
            return false;
        errno = 0;
        const int n = file->Read(m_vBuffer.data(), static_cast<unsigned>(m_vBuffer.size()));
        if (n < 0) {
            Difference(live.path,
                       ErrnoMessage("cannot read", live.hdfsPath, errno != 0 ? errno : EIO));
            return false;
        }
        if (n == 0)
            break;
        m_oHash.Update(m_vBuffer.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
    }
    hash = m_oHash.HexDigest();
    return true;
}

void CVerify::CompareAcl(const ManifestEntry& entry, const WalkEntry& live) {
    nlohmann::json acl;
    nlohmann::json xattrs;
    std::string error;
    switch (m_oCluster.GetAcl(live.hdfsPath, acl, xattrs, error)) {
        case RestResult::kOk:
            break;
        case RestResult::kPathProblem:
            Difference(entry.path, "cannot read its ACL and extended attributes: " + error);
            return;
        case RestResult::kServiceFailure:
            Fatal(error);
            return;
    }
    const nlohmann::json backupEntries =
        entry.acl.contains("entries") ? Sorted(entry.acl["entries"]) : nlohmann::json::array();
    const nlohmann::json liveEntries =
        acl.contains("entries") ? Sorted(acl["entries"]) : nlohmann::json::array();
    if (backupEntries != liveEntries)
        Difference(entry.path,
                   "ACL differs: backup " + backupEntries.dump() + ", HDFS " + liveEntries.dump());
    const nlohmann::json backupXattrs =
        entry.xattrs.is_array() ? Sorted(entry.xattrs) : nlohmann::json::array();
    if (backupXattrs != Sorted(xattrs))
        Difference(entry.path, "extended attributes differ: backup " + backupXattrs.dump() +
                                   ", HDFS " + Sorted(xattrs).dump());
}

void CVerify::Compare(const ManifestEntry& entry, const WalkEntry& live) {
    if (entry.directory != live.directory) {
        Difference(entry.path, std::string("is a ") + (entry.directory ? "directory" : "file") +
                                   " in the backup, a " + (live.directory ? "directory" : "file") +
                                   " in HDFS");
        return;
    }
    if (!entry.directory)
        Field(entry, "size", entry.size, live.size);
    Field(entry, "permission", FormatPermission(entry.permission),
          FormatPermission(live.permission));
    Field(entry, "owner", entry.owner, live.owner);
    Field(entry, "group", entry.group, live.group);
    Field(entry, "modification time", entry.mtime, live.mtime);
    if (!m_oOptions.noAtime)
        Field(entry, "access time", entry.atime, live.atime);
    if (!entry.directory) {
        Field(entry, "replication", entry.replication, live.replication);
        Field(entry, "block size", entry.blockSize, live.blockSize);
    }
    const bool liveEncrypted = !m_oCluster.ZoneOf(live.hdfsPath).empty();
    if (entry.zone.empty() == liveEncrypted)
        Difference(entry.path,
                   entry.zone.empty()
                       ? std::string("is in an encryption zone in HDFS, not in the backup")
                       : "was in the encryption zone " + entry.zone + ", is in none in HDFS");
    if (m_bAcl && !entry.acl.is_null())
        CompareAcl(entry, live);
    if (entry.HasContent() && entry.size == live.size) {
        std::string hash;
        uint64_t size = 0;
        if (HashLive(live, hash, size) && hash != entry.hash)
            Difference(entry.path, "content differs (hash " + entry.hash + " in the backup, " +
                                       hash + " in HDFS)");
    }
}

bool CVerify::VisitLive(const WalkEntry& live) {
    while (m_nState > 0 && ComparePathOrder(m_oEntry.path, live.path) < 0) {
        Missing(m_oEntry);
        if (!Advance())
            return false;
    }
    if (m_nState > 0 && m_oEntry.path == live.path) {
        Compare(m_oEntry, live);
        if (!Advance())
            return false;
    } else {
        Difference(live.path, std::string("in HDFS, not in the backup (") +
                                  (live.directory ? "directory" : "file") + ")");
    }
    if (!live.listError.empty())
        Difference(live.path, live.listError);
    return m_sFatal.empty() && !Interrupted();
}

int CVerify::Prepare(const ConnectOptions& connect) {
    std::string error;
    if (!m_oChain.Open(m_oOptions.destDir, error) ||
        !ValidateManifest(m_oOptions.destDir, m_oHeader, m_oTrailer, error,
                          [this](const ManifestEntry& entry, std::string& why) {
                              return entry.data.empty() || m_oChain.Holds(entry.data, why);
                          })) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    m_bLive = !m_oOptions.hdfsPath.empty();
    if (m_bLive && !NormalizeHdfsPath(m_oOptions.hdfsPath, m_sRoot)) {
        m_oReporter.Fatal("HDFS_PATH must be an absolute HDFS path without . or .. components: " +
                          m_oOptions.hdfsPath);
        return kExitUsage;
    }
    if (m_bLive) {
        m_bAcl = m_oHeader.acl && !m_oOptions.noAcl;
        ClusterOpening opening;
        opening.rest = m_bAcl;
        opening.noAclHint = " (--no-acl compares without ACLs and extended attributes)";
        const int rc = OpenCluster(m_oCluster, connect, opening, m_oReporter);
        if (rc != kExitOk)
            return rc;
    }
    m_oReporter.SetTotals(m_oTrailer.files, m_oTrailer.bytes);
    m_vBuffer.resize(kBlockBytes);
    if (!m_oReader.Open(m_oOptions.destDir, error) || !Advance()) {
        m_oReporter.Fatal(m_sReadError.empty() ? error : m_sReadError);
        return kExitFatal;
    }
    return kExitOk;
}

int CVerify::CompareAll() {
    if (m_bLive) {
        std::string error;
        CTreeWalker walker(m_oCluster.Fs(), m_sRoot, m_oHeader.excludes);
        const bool walked =
            walker.Walk([this](const WalkEntry& live) { return VisitLive(live); }, error);
        if (!walked && !Interrupted() && m_sFatal.empty() && m_nState >= 0) {
            m_oReporter.Fatal(error);
            return kExitFatal;
        }
    }
    while (m_nState > 0 && m_sFatal.empty() && !Interrupted()) {
        if (m_bLive)
            Missing(m_oEntry);
        Advance();
    }
    if (Interrupted()) {
        m_oReporter.Fatal("interrupted");
        EndByInterrupt();
    }
    if (m_nState < 0 || !m_sFatal.empty()) {
        m_oReporter.Fatal(m_sFatal.empty() ? m_sReadError : m_sFatal);
        return kExitFatal;
    }
    return kExitOk;
}

int CVerify::Summarise() {
    const uint64_t differences = m_oReporter.Problems();
    nlohmann::ordered_json summary;
    summary["backup"] = m_oOptions.destDir;
    if (m_bLive)
        summary["hdfs_path"] = m_sRoot;
    summary["entries"] = m_oTrailer.entries;
    summary["copies_checked"] = m_nChecked;
    summary["differences"] = differences;
    std::string text = differences == 0 ? "identical: " : Plural(differences, "difference") + ": ";
    text += std::to_string(m_nChecked) + (m_nChecked == 1 ? " backup copy" : " backup copies") +
            " re-hashed";
    if (m_bLive)
        text += ", " + std::to_string(m_oTrailer.entries) +
                (m_oTrailer.entries == 1 ? " entry" : " entries") + " compared with " + m_sRoot;
    m_oReporter.Summary(text, summary);
    return differences > 0 ? kExitPartial : kExitOk;
}

int CVerify::Run(const ConnectOptions& connect) {
    int rc = Prepare(connect);
    if (rc == kExitOk)
        rc = CompareAll();
    return rc == kExitOk ? Summarise() : rc;
}

}  // namespace

int RunVerify(const VerifyOptions& options, const ConnectOptions& connect, CReporter& reporter) {
    CVerify verify(options, reporter);
    return verify.Run(connect);
}

}  // namespace tool
