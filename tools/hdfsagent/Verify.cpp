// hdfsagent verify DEST_DIR [HDFS_PATH]: re-hashes every copy of the backup against its manifest
// and, with HDFS_PATH, walks the live tree side by side with the manifest and compares each
// path: type, size, content hash, permissions, owner, group, times, replication, block size,
// encryption zone, ACL and extended attributes. Every difference is printed; exit 3 when there
// were any. An entry the backup itself recorded with a problem (no content, content that changed
// while it was read, metadata it could not read) is a difference too: such a backup is never
// "identical". Worker threads hash and compare several files at once; the differences are
// reported in manifest order.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/shared_ptr.hpp>
#include <memory>
#include <mutex>
#include <vector>

#include "BackupDir.h"
#include "Cluster.h"
#include "Commands.h"
#include "Hash.h"
#include "Interrupt.h"
#include "JobReport.h"
#include "LocalFile.h"
#include "Manifest.h"
#include "Opening.h"
#include "Paths.h"
#include "Pipeline.h"
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

// One path to check: a manifest entry, a path of the live tree, or both.
struct Job {
    bool inBackup = false;
    ManifestEntry entry;
    bool inHdfs = false;
    WalkEntry live;
    bool liveEncrypted = false;  // the live path is in an encryption zone
    CJobReport report;
};

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
    bool StartWorkers(std::string& error);

    // On the main thread, in manifest order: the merge of the manifest with the live walk.
    bool Advance();
    bool VisitLive(const WalkEntry& live);
    // Hands the held manifest entry, without a live path, to the pipeline and reads the next.
    bool SubmitBackupOnly();

    // On a worker thread.
    void Check(Worker& worker, Job& job);
    void Missing(Job& job);
    void CheckBackupCopy(Worker& worker, Job& job);
    void ReportRecordedProblem(Job& job);
    void Compare(Worker& worker, Job& job);
    void CompareFields(Job& job);
    void CompareAcl(Worker& worker, Job& job);
    // Hash of an HDFS file; false (reported) when it cannot be read.
    bool HashLive(Worker& worker, Job& job, std::string& hash);
    static void Difference(Job& job, const std::string& path, const std::string& text) {
        job.report.Problem(path, text);
    }
    template <typename T>
    static void Field(Job& job, const char* name, const T& backup, const T& live) {
        if (!(backup == live))
            Difference(
                job, job.entry.path,
                std::string(name) + " differs: backup " + Text(backup) + ", HDFS " + Text(live));
    }
    static std::string Text(const std::string& value) { return Quoted(value); }
    template <typename T>
    static std::string Text(const T& value) {
        return std::to_string(value);
    }
    void Fatal(const std::string& message);

    const VerifyOptions& m_oOptions;
    CReporter& m_oReporter;
    CCluster m_oCluster;
    bool m_bLive = false;
    bool m_bAcl = false;
    std::string m_sRoot;
    ManifestHeader m_oHeader;
    ManifestTrailer m_oTrailer;
    CBackupChain m_oChain;
    // Main thread only: the next manifest entry.
    CManifestReader m_oReader;
    ManifestEntry m_oEntry;
    int m_nState = 0;  // 1 m_oEntry holds the next manifest entry, 0 end, -1 error
    std::string m_sReadError;

    std::vector<std::unique_ptr<Worker>> m_vWorkers;
    CFatalError m_oFatal;
    std::atomic<uint64_t> m_nChecked{0};

    // Last, so that it is destroyed first: its threads use everything above.
    std::unique_ptr<COrderedPipeline<Job>> m_pPipeline;
};

void CVerify::Fatal(const std::string& message) {
    m_oFatal.SetAndStop(message, m_pPipeline.get());
}

bool CVerify::Advance() {
    m_nState = m_oReader.Next(m_oEntry, m_sReadError);
    return m_nState >= 0;
}

void CVerify::ReportRecordedProblem(Job& job) {
    const ManifestEntry& entry = job.entry;
    if (entry.status == kStatusOk)
        return;
    std::string text = "the backup recorded it as " + entry.status;
    if (!entry.detail.empty())
        text += " (" + entry.detail + ")";
    if (!entry.directory && !entry.HasContent())
        text += "; the backup holds no content for it";
    Difference(job, entry.path, text);
}

void CVerify::CheckBackupCopy(Worker& worker, Job& job) {
    const ManifestEntry& entry = job.entry;
    if (!entry.HasContent())
        return;
    const std::string local = m_oChain.Shown(entry.data);
    std::string why;
    CFd in(m_oChain.OpenCopy(entry.data, why));
    if (!in.IsOpen()) {
        Difference(job, entry.path, "the backup copy is missing: " + local + ": " + why);
        return;
    }
    worker.hash.Reset();
    uint64_t size = 0;
    for (;;) {
        if (Interrupted())
            return;
        const ssize_t n = ReadSome(in.Get(), worker.buffer.data(), worker.buffer.size());
        if (n < 0) {
            const int error = errno;
            Difference(job, entry.path, ErrnoMessage("cannot read the backup copy", local, error));
            return;
        }
        if (n == 0)
            break;
        worker.hash.Update(worker.buffer.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
        m_oReporter.AddBytes(static_cast<uint64_t>(n));
    }
    if (size != entry.size || worker.hash.HexDigest() != entry.hash)
        Difference(job, entry.path,
                   "the backup copy " + local + " does not match the manifest (" +
                       std::to_string(size) + " bytes, hash " + worker.hash.HexDigest() + ")");
    m_oReporter.FileDone();
    ++m_nChecked;
}

void CVerify::Missing(Job& job) {
    // A file that vanished while it was backed up is not expected.
    if (job.entry.status == kStatusVanished)
        return;
    Difference(job, job.entry.path, "in the backup, missing from HDFS");
}

bool CVerify::HashLive(Worker& worker, Job& job, std::string& hash) {
    const WalkEntry& live = job.live;
    boost::shared_ptr<CHadoopFile> file;
    errno = 0;
    if (m_oCluster.Fs().Open(live.hdfsPath.c_str(), O_RDONLY, file, 0, 0, 0) != 0 || !file) {
        Difference(job, live.path,
                   ErrnoMessage("cannot open", live.hdfsPath, errno != 0 ? errno : EIO));
        return false;
    }
    worker.hash.Reset();
    for (;;) {
        if (Interrupted())
            return false;
        errno = 0;
        const int n = file->Read(worker.buffer.data(), static_cast<unsigned>(worker.buffer.size()));
        if (n < 0) {
            Difference(job, live.path,
                       ErrnoMessage("cannot read", live.hdfsPath, errno != 0 ? errno : EIO));
            return false;
        }
        if (n == 0)
            break;
        worker.hash.Update(worker.buffer.data(), static_cast<size_t>(n));
    }
    hash = worker.hash.HexDigest();
    return true;
}

void CVerify::CompareAcl(Worker& worker, Job& job) {
    const ManifestEntry& entry = job.entry;
    nlohmann::json acl;
    nlohmann::json xattrs;
    std::string error;
    switch (m_oCluster.GetAcl(job.live.hdfsPath, acl, xattrs, error, worker.rest.get())) {
        case RestResult::kOk:
            break;
        case RestResult::kPathProblem:
            Difference(job, entry.path, "cannot read its ACL and extended attributes: " + error);
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
        Difference(job, entry.path,
                   "ACL differs: backup " + backupEntries.dump() + ", HDFS " + liveEntries.dump());
    const nlohmann::json backupXattrs =
        entry.xattrs.is_array() ? Sorted(entry.xattrs) : nlohmann::json::array();
    if (backupXattrs != Sorted(xattrs))
        Difference(job, entry.path,
                   "extended attributes differ: backup " + backupXattrs.dump() + ", HDFS " +
                       Sorted(xattrs).dump());
}

void CVerify::CompareFields(Job& job) {
    const ManifestEntry& entry = job.entry;
    const WalkEntry& live = job.live;
    if (!entry.directory)
        Field(job, "size", entry.size, live.size);
    Field(job, "permission", FormatPermission(entry.permission), FormatPermission(live.permission));
    Field(job, "owner", entry.owner, live.owner);
    Field(job, "group", entry.group, live.group);
    Field(job, "modification time", entry.mtime, live.mtime);
    if (!m_oOptions.noAtime)
        Field(job, "access time", entry.atime, live.atime);
    if (!entry.directory) {
        Field(job, "replication", entry.replication, live.replication);
        Field(job, "block size", entry.blockSize, live.blockSize);
    }
    if (entry.zone.empty() == job.liveEncrypted)
        Difference(job, entry.path,
                   entry.zone.empty()
                       ? std::string("is in an encryption zone in HDFS, not in the backup")
                       : "was in the encryption zone " + entry.zone + ", is in none in HDFS");
}

void CVerify::Compare(Worker& worker, Job& job) {
    const ManifestEntry& entry = job.entry;
    const WalkEntry& live = job.live;
    if (entry.directory != live.directory) {
        Difference(job, entry.path,
                   std::string("is a ") + (entry.directory ? "directory" : "file") +
                       " in the backup, a " + (live.directory ? "directory" : "file") + " in HDFS");
        return;
    }
    CompareFields(job);
    if (m_bAcl && !entry.acl.is_null())
        CompareAcl(worker, job);
    if (entry.HasContent() && entry.size == live.size) {
        std::string hash;
        if (HashLive(worker, job, hash) && hash != entry.hash)
            Difference(
                job, entry.path,
                "content differs (hash " + entry.hash + " in the backup, " + hash + " in HDFS)");
    }
}

void CVerify::Check(Worker& worker, Job& job) {
    if (job.inBackup) {
        ReportRecordedProblem(job);
        CheckBackupCopy(worker, job);
    }
    if (job.inBackup && job.inHdfs)
        Compare(worker, job);
    else if (job.inBackup && m_bLive)
        Missing(job);
    else if (job.inHdfs)
        Difference(job, job.live.path,
                   std::string("in HDFS, not in the backup (") +
                       (job.live.directory ? "directory" : "file") + ")");
    if (job.inHdfs && !job.live.listError.empty())
        Difference(job, job.live.path, job.live.listError);
}

bool CVerify::SubmitBackupOnly() {
    std::unique_ptr<Job> job(new Job);
    job->inBackup = true;
    job->entry = std::move(m_oEntry);
    return m_pPipeline->Submit(std::move(job)) && Advance();
}

bool CVerify::VisitLive(const WalkEntry& live) {
    while (m_nState > 0 && ComparePathOrder(m_oEntry.path, live.path) < 0) {
        if (!SubmitBackupOnly())
            return false;
    }
    std::unique_ptr<Job> job(new Job);
    job->inHdfs = true;
    job->live = live;
    // The zone list is the main thread's.
    job->liveEncrypted = !m_oCluster.ZoneOf(live.hdfsPath).empty();
    const bool matched = m_nState > 0 && m_oEntry.path == live.path;
    if (matched) {
        job->inBackup = true;
        job->entry = std::move(m_oEntry);
    }
    return m_pPipeline->Submit(std::move(job)) && (!matched || Advance());
}

bool CVerify::StartWorkers(std::string& error) {
    const unsigned count = std::max(1u, m_oOptions.threads);
    if (!MakeWorkers(m_oCluster, count, m_vWorkers, error))
        return false;
    PipelineOptions options;
    options.stopWhen = [] { return Interrupted(); };
    m_pPipeline.reset(new COrderedPipeline<Job>(
        [this](Job& job, unsigned worker) { Check(*m_vWorkers[worker], job); },
        [this](Job& job) { job.report.Replay(m_oReporter); }, options));
    m_pPipeline->Start(count);
    return true;
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
    if (!StartWorkers(error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    if (!m_oReader.Open(m_oOptions.destDir, error) || !Advance()) {
        m_oReporter.Fatal(m_sReadError.empty() ? error : m_sReadError);
        return kExitFatal;
    }
    return kExitOk;
}

int CVerify::CompareAll() {
    std::string error;
    bool walked = true;
    if (m_bLive) {
        CTreeWalker walker(m_oCluster.Fs(), m_sRoot, m_oHeader.excludes);
        walked = walker.Walk([this](const WalkEntry& live) { return VisitLive(live); }, error);
    }
    // What the live tree did not have (or, without it, every entry).
    while (walked && m_nState > 0 && SubmitBackupOnly()) {
    }
    m_pPipeline->Drain();
    m_pPipeline->Close();
    if (Interrupted()) {
        m_oReporter.Fatal("interrupted");
        EndByInterrupt();
    }
    // A walk that ended although nothing stopped it: the root could not be read.
    if (!walked && !m_oFatal.IsSet() && m_nState >= 0) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    if (m_nState < 0 || m_oFatal.IsSet()) {
        m_oReporter.Fatal(m_oFatal.IsSet() ? m_oFatal.Message() : m_sReadError);
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
    summary["copies_checked"] = m_nChecked.load();
    summary["differences"] = differences;
    std::string text = differences == 0 ? "identical: " : Plural(differences, "difference") + ": ";
    const uint64_t checked = m_nChecked;
    text +=
        std::to_string(checked) + (checked == 1 ? " backup copy" : " backup copies") + " re-hashed";
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
