// hdfsagent restore DEST_DIR HDFS_TARGET: recreates the backed-up tree under HDFS_TARGET.
//
// Order: the manifest is read as a stream on the main thread, which creates directories as it
// reaches them and hands each file to the ordered pipeline. A worker thread writes the file under
// a temporary name in its directory, checks it against its hash, gives it its owner,
// permissions, ACL, extended attributes and times, and only then renames it to its real name, so
// an interrupted restore never leaves a partial file under a real name. A directory's own
// metadata is applied when the manifest has left it and everything before has been written
// (bottom-up, after everything inside it), because creating entries in a directory changes its
// times and its permissions may forbid creating them. Problems are reported in manifest order.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <boost/shared_ptr.hpp>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
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

// A file is written under ".hdfsagent-restore.<16 hex digits of its name's hash>.<pid>" in its
// directory: short whatever the name's length, and a pattern nothing else is expected to match.
const char kTemporaryPrefix[] = ".hdfsagent-restore.";

std::string TemporaryName(const std::string& name) {
    CTextChecksum hash;
    hash.Update(name);
    return kTemporaryPrefix + hash.HexDigest() + "." + std::to_string(getpid());
}

// A temporary file an earlier restore (another process) left: our pattern, another pid.
bool IsEarlierTemporary(const std::string& name) {
    static const std::regex pattern("\\.hdfsagent-restore\\.[0-9a-f]{16}\\.([0-9]+)");
    std::smatch match;
    return std::regex_match(name, match, pattern) && match[1] != std::to_string(getpid());
}

// One manifest entry on its way through the pipeline.
struct Job {
    ManifestEntry entry;
    bool finishDirectory = false;  // apply the metadata of the directory `entry`
    bool outsideZone = false;      // from an encryption zone, restored outside any
    CJobReport report;
};

class CRestore {
  public:
    CRestore(const RestoreOptions& options, CReporter& reporter)
        : m_oOptions(options), m_oReporter(reporter) {}

    int Run(const ConnectOptions& connect);

  private:
    // Each returns kExitOk to go on, else the exit status (the failure reported). Prepare reads
    // the manifest's first entry into `first`.
    int Prepare(const ConnectOptions& connect, CManifestReader& reader, ManifestEntry& first);
    int RestoreAll(CManifestReader& reader, ManifestEntry& entry);
    int Summarise();
    bool CheckTarget(const ManifestEntry& root, std::string& error);
    bool StartWorkers(std::string& error);

    // On the main thread, in manifest order; false stops the restore.
    bool RestoreEntry(const ManifestEntry& entry);
    void CreateDirectory(Job& job);
    // Hands the metadata of every pending directory that does not hold `entryPath` to the
    // pipeline, the deepest first.
    bool FinishDirectoriesOutside(const std::string& entryPath);
    // Removes the temporary files earlier, interrupted restores left in the directory `path`.
    void RemoveEarlierTemporaries(const std::string& path, CJobReport& report);
    // In the job's turn (main thread): the directory's metadata, then what was found.
    void Write(Job& job);

    // On a worker thread.
    void RestoreFile(Worker& worker, Job& job);
    // Writes the content to `temporary`; false when it was not restored (reported). `created`
    // says whether the temporary file exists.
    bool WriteContent(Worker& worker, Job& job, const std::string& temporary, bool& created);
    // Creates `temporary` for the entry's content, owner-only; false when not (reported).
    bool CreateTemporary(Job& job, const std::string& temporary,
                         boost::shared_ptr<CHadoopFile>& file, bool& created);
    // Copies and hashes the backup copy `in` into `file`; false when not (reported).
    bool CopyIntoHdfs(Worker& worker, Job& job, int in, CHadoopFile& file,
                      const std::string& temporary, uint64_t& written);
    // Renames the checked temporary file to `path` (replacing a file there with --force).
    bool PutInPlace(Job& job, const std::string& temporary, const std::string& path);

    // Owner, permissions, ACL and extended attributes, times of `path` (messages name `shown`),
    // through the worker's REST client (the main one when null).
    void ApplyMetadata(const ManifestEntry& entry, const std::string& path,
                       const std::string& shown, CJobReport& report,
                       DXHadoop::CHadoopRestUtil* client);
    void ApplyAcl(const ManifestEntry& entry, const std::string& path, const std::string& shown,
                  CJobReport& report, DXHadoop::CHadoopRestUtil* client);
    // Warns, once per zone, that the entry leaves its encryption zone.
    void WarnAboutZone(const ManifestEntry& entry, const std::string& path, CJobReport& report);
    std::string TargetOf(const std::string& entryPath) const {
        return JoinHdfsPath(m_sTarget, entryPath);
    }
    void Fatal(const std::string& message);

    const RestoreOptions& m_oOptions;
    CReporter& m_oReporter;
    CCluster m_oCluster;
    std::string m_sTarget;
    ManifestHeader m_oHeader;
    ManifestTrailer m_oTrailer;
    CBackupChain m_oChain;
    bool m_bAcl = false;
    // Main thread only.
    std::vector<ManifestEntry> m_vPendingDirectories;  // ancestors of the current entry
    std::string m_sFailedDirectory;                    // entries below it are skipped
    std::set<std::string> m_setWarnedZones;
    uint64_t m_nDirectories = 0;

    std::vector<std::unique_ptr<Worker>> m_vWorkers;
    CFatalError m_oFatal;
    std::atomic<uint64_t> m_nFiles{0};
    std::atomic<uint64_t> m_nBytes{0};
    std::atomic<uint64_t> m_nSkipped{0};

    // Last, so that it is destroyed first: its threads use everything above.
    std::unique_ptr<COrderedPipeline<Job>> m_pPipeline;
};

void CRestore::Fatal(const std::string& message) {
    m_oFatal.SetAndStop(message, m_pPipeline.get());
}

bool CRestore::CheckTarget(const ManifestEntry& root, std::string& error) {
    hdfsFileInfo* info = nullptr;
    errno = 0;
    if (m_oCluster.Fs().GetFileInfo(m_sTarget.c_str(), &info) != 0 || info == nullptr) {
        if (errno == ENOENT)
            return true;
        error = ErrnoMessage("cannot read", m_sTarget, errno != 0 ? errno : EIO);
        return false;
    }
    const bool directory = info->mKind == kObjectKindDirectory;
    m_oCluster.Fs().FreeFileInfo(info, 1);
    if (directory != root.directory) {
        error = m_sTarget + " exists and is a " + (directory ? "directory" : "file") +
                ", the backup's root is a " + (root.directory ? "directory" : "file");
        return false;
    }
    if (m_oOptions.force)
        return true;
    if (!directory) {
        error = m_sTarget + " exists; --force replaces it";
        return false;
    }
    boost::shared_ptr<CHadoopFileInfoArray> listing;
    int count = 0;
    if (m_oCluster.Fs().ListDirectory(m_sTarget.c_str(), listing, count) != 0) {
        error = ErrnoMessage("cannot list", m_sTarget, errno != 0 ? errno : EIO);
        return false;
    }
    if (count > 0) {
        error = m_sTarget + " is not empty; --force restores into it anyway";
        return false;
    }
    return true;
}

void CRestore::WarnAboutZone(const ManifestEntry& entry, const std::string& path,
                             CJobReport& report) {
    const std::string zone = entry.zone;
    report.Then([this, zone, path](CReporter& reporter) {
        if (m_setWarnedZones.insert(zone).second)
            reporter.Warning("files of the encryption zone " + zone +
                             " are restored outside any encryption zone (" + path +
                             "); create the zone first to keep them encrypted");
    });
}

void CRestore::ApplyAcl(const ManifestEntry& entry, const std::string& path,
                        const std::string& shown, CJobReport& report,
                        DXHadoop::CHadoopRestUtil* client) {
    const nlohmann::json entries =
        entry.acl.contains("entries") ? entry.acl["entries"] : nlohmann::json::array();
    const nlohmann::json xattrs = entry.xattrs.is_array() ? entry.xattrs : nlohmann::json::array();
    // Without extended entries or attributes the permission set before is the whole state.
    if (entries.empty() && xattrs.empty())
        return;
    if (!IsValidUtf8(path)) {
        report.Problem(entry.path, "cannot set ACL and extended attributes of " + shown +
                                       ": the REST utility service takes only UTF-8 names");
        return;
    }
    nlohmann::json body;
    body["AclStatus"]["entries"] = entries;
    body["AclStatus"]["permission"] = FormatPermission(entry.permission);
    body["AclStatus"]["stickyBit"] = (entry.permission & 01000) != 0;
    body["XAttrs"] = xattrs;
    std::string error;
    const RestResult result = m_oCluster.SetAcl(path, body, error, client);
    if (result == RestResult::kServiceFailure)
        Fatal(error);
    else if (result == RestResult::kPathProblem)
        report.Problem(entry.path,
                       "cannot set ACL and extended attributes of " + shown + ": " + error);
}

void CRestore::ApplyMetadata(const ManifestEntry& entry, const std::string& path,
                             const std::string& shown, CJobReport& report,
                             DXHadoop::CHadoopRestUtil* client) {
    CHadoopFS& fs = m_oCluster.Fs();
    errno = 0;
    if (fs.Chown(path.c_str(), entry.owner.c_str(), entry.group.c_str()) != 0)
        report.Problem(
            entry.path,
            ErrnoMessage(("cannot set owner " + entry.owner + ":" + entry.group + " of").c_str(),
                         shown, errno != 0 ? errno : EIO));
    errno = 0;
    if (fs.Chmod(path.c_str(), static_cast<short>(entry.permission)) != 0)
        report.Problem(
            entry.path,
            ErrnoMessage(
                ("cannot set permission " + FormatPermission(entry.permission) + " of").c_str(),
                shown, errno != 0 ? errno : EIO));
    if (m_bAcl && !entry.acl.is_null())
        ApplyAcl(entry, path, shown, report, client);
    utimbuf times;
    times.actime = static_cast<time_t>(entry.atime);
    times.modtime = static_cast<time_t>(entry.mtime);
    errno = 0;
    if (fs.Utime(path.c_str(), &times) != 0)
        report.Problem(entry.path,
                       ErrnoMessage("cannot set times of", shown, errno != 0 ? errno : EIO));
}

bool CRestore::FinishDirectoriesOutside(const std::string& entryPath) {
    while (!m_vPendingDirectories.empty() &&
           !IsAncestorPath(m_vPendingDirectories.back().path, entryPath)) {
        std::unique_ptr<Job> job(new Job);
        job->entry = std::move(m_vPendingDirectories.back());
        job->finishDirectory = true;
        m_vPendingDirectories.pop_back();
        // Written, and so applied, only after every job before it: all the directory holds.
        if (!m_pPipeline->Submit(std::move(job), false))
            return false;
    }
    return true;
}

void CRestore::RemoveEarlierTemporaries(const std::string& path, CJobReport& report) {
    boost::shared_ptr<CHadoopFileInfoArray> listing;
    int count = 0;
    if (m_oCluster.Fs().ListDirectory(path.c_str(), listing, count) != 0 || !listing)
        return;
    for (int i = 0; i < count; ++i) {
        const hdfsFileInfo& info = (*listing)[i];
        const std::string name = LastComponent(info.mName != nullptr ? info.mName : "");
        if (info.mKind != kObjectKindFile || !IsEarlierTemporary(name))
            continue;
        const std::string child = JoinHdfsPath(path, name);
        errno = 0;
        if (m_oCluster.Fs().RemoveFile(child.c_str(), 0) == 0)
            report.Warning("removed " + child + ", left by an interrupted restore");
        else
            report.Problem(".", ErrnoMessage("cannot remove what an interrupted restore left:",
                                             child, errno != 0 ? errno : EIO));
    }
}

void CRestore::CreateDirectory(Job& job) {
    const ManifestEntry& entry = job.entry;
    const std::string path = TargetOf(entry.path);
    if (m_oOptions.force && m_oCluster.Fs().Exists(path.c_str()) == 0)
        RemoveEarlierTemporaries(path, job.report);
    errno = 0;
    if (m_oCluster.Fs().CreateDirectory(path.c_str()) != 0) {
        job.report.Problem(entry.path,
                           ErrnoMessage("cannot create directory", path, errno != 0 ? errno : EIO) +
                               "; everything below it is skipped");
        m_sFailedDirectory = entry.path;
        return;
    }
    ++m_nDirectories;
    if (!entry.zone.empty() && m_oCluster.ZoneOf(path).empty())
        WarnAboutZone(entry, path, job.report);
    m_vPendingDirectories.push_back(entry);
}

bool CRestore::CreateTemporary(Job& job, const std::string& temporary,
                               boost::shared_ptr<CHadoopFile>& file, bool& created) {
    const ManifestEntry& entry = job.entry;
    errno = 0;
    int rc = m_oCluster.Fs().Open(temporary.c_str(), O_WRONLY, file, 0,
                                  static_cast<short>(entry.replication),
                                  static_cast<int>(entry.blockSize));
    if ((rc != 0 || !file) && errno == EINVAL) {
        // The target cluster refuses the recorded layout (a smaller minimum block size, say):
        // its defaults are better than no file.
        job.report.Warning(entry.path + ": the recorded replication " +
                           std::to_string(entry.replication) + " and block size " +
                           std::to_string(entry.blockSize) +
                           " are refused; the cluster's defaults are used");
        errno = 0;
        rc = m_oCluster.Fs().Open(temporary.c_str(), O_WRONLY, file, 0, 0, 0);
    }
    if (rc != 0 || !file) {
        job.report.Problem(entry.path,
                           ErrnoMessage("cannot create", temporary, errno != 0 ? errno : EIO));
        return false;
    }
    created = true;
    // Owner-only before the first byte is written; the recorded mode is set once it is whole.
    errno = 0;
    if (m_oCluster.Fs().Chmod(temporary.c_str(), 0600) != 0) {
        job.report.Problem(entry.path, ErrnoMessage("cannot set permission 0600 of", temporary,
                                                    errno != 0 ? errno : EIO));
        return false;
    }
    return true;
}

bool CRestore::CopyIntoHdfs(Worker& worker, Job& job, int in, CHadoopFile& file,
                            const std::string& temporary, uint64_t& written) {
    std::vector<char>& buffer = worker.buffer;
    worker.hash.Reset();
    for (;;) {
        if (Interrupted())
            return false;
        const ssize_t n = ReadSome(in, buffer.data(), buffer.size());
        if (n < 0) {
            const int error = errno;
            job.report.Problem(job.entry.path, ErrnoMessage("not restored: cannot read",
                                                            m_oChain.Shown(job.entry.data), error));
            return false;
        }
        if (n == 0)
            return true;
        worker.hash.Update(buffer.data(), static_cast<size_t>(n));
        for (ssize_t done = 0; done < n;) {
            errno = 0;
            const int put = file.Write(buffer.data() + done, static_cast<unsigned>(n - done));
            if (put <= 0) {
                job.report.Problem(job.entry.path, ErrnoMessage("cannot write", temporary,
                                                                errno != 0 ? errno : EIO));
                return false;
            }
            done += put;
        }
        written += static_cast<uint64_t>(n);
        m_oReporter.AddBytes(static_cast<uint64_t>(n));
    }
}

bool CRestore::WriteContent(Worker& worker, Job& job, const std::string& temporary, bool& created) {
    const ManifestEntry& entry = job.entry;
    const std::string local = m_oChain.Shown(entry.data);
    std::string why;
    CFd in(m_oChain.OpenCopy(entry.data, why));
    if (!in.IsOpen()) {
        job.report.Problem(entry.path,
                           "not restored: cannot open the backup copy " + local + ": " + why);
        return false;
    }
    boost::shared_ptr<CHadoopFile> file;
    uint64_t written = 0;
    if (!CreateTemporary(job, temporary, file, created) ||
        !CopyIntoHdfs(worker, job, in.Get(), *file, temporary, written))
        return false;
    errno = 0;
    if (file->Close() != 0) {
        job.report.Problem(entry.path,
                           ErrnoMessage("cannot close", temporary, errno != 0 ? errno : EIO));
        return false;
    }
    if (written != entry.size || worker.hash.HexDigest() != entry.hash) {
        job.report.Problem(entry.path, "not restored: the backup copy " + local +
                                           " does not match its size and hash in the manifest");
        return false;
    }
    m_nBytes += written;
    return true;
}

bool CRestore::PutInPlace(Job& job, const std::string& temporary, const std::string& path) {
    CHadoopFS& fs = m_oCluster.Fs();
    if (m_oOptions.force && fs.Exists(path.c_str()) == 0 && fs.RemoveFile(path.c_str(), 0) != 0) {
        job.report.Problem(job.entry.path, ErrnoMessage("cannot replace", path, errno));
        fs.RemoveFile(temporary.c_str(), 0);
        return false;
    }
    errno = 0;
    if (m_oCluster.Rename(temporary, path) != 0) {
        job.report.Problem(job.entry.path,
                           ErrnoMessage(("cannot rename " + temporary + " to").c_str(), path,
                                        errno != 0 ? errno : EIO));
        fs.RemoveFile(temporary.c_str(), 0);
        return false;
    }
    return true;
}

void CRestore::RestoreFile(Worker& worker, Job& job) {
    const ManifestEntry& entry = job.entry;
    if (!entry.HasContent()) {
        // A file that vanished during the backup is simply not part of it.
        if (entry.status != kStatusVanished)
            job.report.Problem(entry.path, "not restored: the backup holds no content (" +
                                               entry.status + ": " + entry.detail + ")");
        ++m_nSkipped;
        return;
    }
    if (entry.status == kStatusChanged)
        job.report.Warning(entry.path + " changed while it was backed up; its copy is restored");
    const std::string path = TargetOf(entry.path);
    const std::string parent = path.substr(0, path.rfind('/'));
    const std::string temporary = parent + "/" + TemporaryName(LastComponent(path));
    bool created = false;
    if (!WriteContent(worker, job, temporary, created)) {
        if (created)
            m_oCluster.Fs().RemoveFile(temporary.c_str(), 0);
        return;
    }
    if (job.outsideZone)
        WarnAboutZone(entry, path, job.report);
    ApplyMetadata(entry, temporary, path, job.report, worker.rest.get());
    if (PutInPlace(job, temporary, path))
        ++m_nFiles;
}

void CRestore::Write(Job& job) {
    if (job.finishDirectory) {
        const std::string target = TargetOf(job.entry.path);
        ApplyMetadata(job.entry, target, target, job.report, nullptr);
    }
    job.report.Replay(m_oReporter);
}

bool CRestore::RestoreEntry(const ManifestEntry& entry) {
    if (!m_sFailedDirectory.empty() && IsAncestorPath(m_sFailedDirectory, entry.path)) {
        ++m_nSkipped;
        return true;
    }
    if (!FinishDirectoriesOutside(entry.path))
        return false;
    std::unique_ptr<Job> job(new Job);
    job->entry = entry;
    if (entry.status == kStatusPartial)
        job->report.Problem(entry.path, "the backup holds no ACL and extended attributes for it (" +
                                            entry.detail + ")");
    if (entry.directory) {
        CreateDirectory(*job);
        return m_pPipeline->Submit(std::move(job), false);
    }
    job->outsideZone = !entry.zone.empty() && m_oCluster.ZoneOf(TargetOf(entry.path)).empty();
    return m_pPipeline->Submit(std::move(job));
}

bool CRestore::StartWorkers(std::string& error) {
    const unsigned count = std::max(1u, m_oOptions.threads);
    if (!MakeWorkers(m_oCluster, count, m_vWorkers, error))
        return false;
    PipelineOptions options;
    options.stopWhen = [] { return Interrupted(); };
    m_pPipeline.reset(new COrderedPipeline<Job>(
        [this](Job& job, unsigned worker) {
            RestoreFile(*m_vWorkers[worker], job);
            m_oReporter.FileDone();
        },
        [this](Job& job) { Write(job); }, options));
    m_pPipeline->Start(count);
    return true;
}

int CRestore::Prepare(const ConnectOptions& connect, CManifestReader& reader,
                      ManifestEntry& first) {
    std::string error;
    // The whole manifest is checked before anything is written.
    if (!m_oChain.Open(m_oOptions.destDir, error) ||
        !ValidateManifest(m_oOptions.destDir, m_oHeader, m_oTrailer, error,
                          [this](const ManifestEntry& entry, std::string& why) {
                              return entry.data.empty() || m_oChain.Holds(entry.data, why);
                          })) {
        m_oReporter.Fatal(error + "; nothing was restored");
        return kExitFatal;
    }
    if (!NormalizeHdfsPath(m_oOptions.target, m_sTarget)) {
        m_oReporter.Fatal("HDFS_TARGET must be an absolute HDFS path without . or .. components: " +
                          m_oOptions.target);
        return kExitUsage;
    }
    if (!reader.Open(m_oOptions.destDir, error) || reader.Next(first, error) <= 0) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    m_bAcl = m_oHeader.acl && !m_oOptions.noAcl;
    ClusterOpening opening;
    opening.rest = m_bAcl;
    opening.noAclHint = " (--no-acl restores without ACLs and extended attributes)";
    opening.afterConnect = [&](std::string& why) { return CheckTarget(first, why); };
    const int rc = OpenCluster(m_oCluster, connect, opening, m_oReporter);
    if (rc != kExitOk)
        return rc;
    if (!StartWorkers(error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    m_oReporter.SetTotals(m_oTrailer.files, m_oTrailer.bytes);
    return kExitOk;
}

int CRestore::RestoreAll(CManifestReader& reader, ManifestEntry& entry) {
    std::string error;
    int rc = 1;
    for (; rc > 0; rc = reader.Next(entry, error)) {
        if (!RestoreEntry(entry))
            break;
    }
    // At the end nothing is inside the root's parent's scope: every pending directory is
    // finished, the deepest first and the root last.
    if (rc == 0)
        FinishDirectoriesOutside(".");
    m_pPipeline->Drain();
    // Every worker has ended, its temporary file renamed or removed.
    m_pPipeline->Close();
    if (Interrupted()) {
        m_oReporter.Fatal("interrupted; " + std::to_string(m_nFiles.load()) +
                          " files were restored completely, none partially");
        EndByInterrupt();
    }
    if (rc < 0 || m_oFatal.IsSet()) {
        m_oReporter.Fatal(m_oFatal.IsSet() ? m_oFatal.Message() : error);
        return kExitFatal;
    }
    return kExitOk;
}

int CRestore::Summarise() {
    const uint64_t files = m_nFiles;
    const uint64_t bytes = m_nBytes;
    nlohmann::ordered_json summary;
    summary["backup"] = m_oOptions.destDir;
    summary["target"] = m_sTarget;
    summary["files"] = files;
    summary["bytes"] = bytes;
    summary["directories"] = m_nDirectories;
    summary["skipped"] = m_nSkipped.load();
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", m_oReporter.ElapsedSeconds());
    m_oReporter.Summary("restored " + Plural(files, "file") + " (" +
                            HumanBytes(static_cast<double>(bytes)) + ") and " +
                            std::to_string(m_nDirectories) + " directories to " + m_sTarget + ", " +
                            Plural(m_oReporter.Problems(), "problem") + " in " + seconds,
                        summary);
    return m_oReporter.Problems() > 0 ? kExitPartial : kExitOk;
}

int CRestore::Run(const ConnectOptions& connect) {
    CManifestReader reader;
    ManifestEntry entry;
    int rc = Prepare(connect, reader, entry);
    if (rc == kExitOk)
        rc = RestoreAll(reader, entry);
    return rc == kExitOk ? Summarise() : rc;
}

}  // namespace

int RunRestore(const RestoreOptions& options, const ConnectOptions& connect, CReporter& reporter) {
    CRestore restore(options, reporter);
    return restore.Run(connect);
}

}  // namespace tool
