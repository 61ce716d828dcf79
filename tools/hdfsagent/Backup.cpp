// hdfsagent backup HDFS_PATH DEST_DIR: copies a tree into DEST_DIR/data (the same layout as the
// tree), hashing each file in the pass that copies it, and streams the manifest.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/shared_ptr.hpp>
#include <filesystem>
#include <memory>
#include <system_error>
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
#include "Pipeline.h"
#include "Walker.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

// When the REST service answers the first this many ACL reads with one and the same error, it
// fails for every path (it cannot reach the cluster, say): the backup stops and says how to go
// on, instead of recording every path with the same problem.
const unsigned kAclProbePaths = 8;
const char kNoAclHint[] = " (--no-acl backs up without ACLs and extended attributes)";

// A service error with the path taken out, so the errors of two paths compare equal when they
// are the same failure.
std::string WithoutPath(std::string error, const std::string& path) {
    for (size_t at; !path.empty() && (at = error.find(path)) != std::string::npos;)
        error.replace(at, path.size(), "PATH");
    return error;
}

// The previous backup vouches for a file's content only when the file was last modified before
// that backup began: modification times have whole seconds, so a file rewritten in the second
// the backup started (or later) may have changed after it was read with its size and time
// unchanged. The rule git uses for its index.
bool UnchangedSincePrevious(const ManifestEntry& previous, const WalkEntry& walk,
                            int64_t previousStart) {
    const bool contentKept = previous.status == kStatusOk || previous.status == kStatusPartial;
    return !previous.directory && contentKept && previous.size == walk.size &&
           previous.mtime == walk.mtime && previous.mtime < previousStart;
}

ManifestEntry EntryFromWalk(const WalkEntry& walk) {
    ManifestEntry entry;
    entry.path = walk.path;
    entry.directory = walk.directory;
    entry.size = walk.directory ? 0 : walk.size;
    entry.permission = walk.permission;
    entry.owner = walk.owner;
    entry.group = walk.group;
    entry.mtime = walk.mtime;
    entry.atime = walk.atime;
    entry.replication = walk.replication;
    entry.blockSize = walk.blockSize;
    return entry;
}

// One path on its way from the walk to the manifest.
struct Job {
    WalkEntry walk;
    ManifestEntry entry;
    bool copy = false;  // the content is to be copied (not referenced, not a dry run)
};

// How much one copy read.
struct CopyCount {
    uint64_t bytes = 0;
    unsigned reads = 0;  // reads that returned data
};

// The walk runs on the main thread, in backup order; it decides everything that depends on the
// order (the previous manifest, the encryption zone, local directories) and hands each path to
// the ordered pipeline, whose copy threads copy, hash and read ACLs. The main thread writes
// finished entries to the manifest strictly in walk order, with a bounded number of paths between
// the walk and the manifest, so memory stays bounded however large the tree is.
class CBackup {
  public:
    CBackup(const BackupOptions& options, CReporter& reporter)
        : m_oOptions(options), m_oReporter(reporter) {}

    int Run(const ConnectOptions& connect);

  private:
    // Each returns kExitOk to go on, else the exit status (the failure reported).
    int Prepare(const ConnectOptions& connect);
    int Walk();
    int Summarise();

    bool OpenDestination(std::string& error);
    bool PrepareDestination(std::string& error);
    bool OpenPrevious(std::string& error);
    const ManifestEntry* FindPrevious(const std::string& path, std::string& error);
    void CountTotals();
    bool OpenManifest(std::string& error);
    bool StartWorkers(std::string& error);
    void Process(Worker& worker, Job& job);
    bool Visit(const WalkEntry& walk);
    // What the walk decides for a directory or a file; false stops the walk.
    bool PlanDirectory(Job& job);
    bool PlanFile(Job& job);
    void WriteEntry(const ManifestEntry& entry);
    bool ReferencePrevious(const WalkEntry& walk, ManifestEntry& entry, std::string& error);
    void CopyFile(Worker& worker, const WalkEntry& walk, ManifestEntry& entry);
    // Opens the HDFS file; false with the entry marked when it cannot be opened.
    bool OpenSource(const WalkEntry& walk, ManifestEntry& entry,
                    boost::shared_ptr<CHadoopFile>& file);
    // Copies and hashes the content into `out`. False when the copy is not to be recorded:
    // stopped, a read failed (the entry says why, the partial copy is removed) or a write
    // failed (fatal).
    bool CopyContent(Worker& worker, CHadoopFile& file, CFd& out, const WalkEntry& walk,
                     ManifestEntry& entry, CopyCount& count);
    // Marks the entry when the file changed while it was read.
    void CheckUnchangedAfterRead(const WalkEntry& walk, uint64_t copied, ManifestEntry& entry);
    void ReadAcl(Worker& worker, const WalkEntry& walk, ManifestEntry& entry);
    // Counts an ACL read that the service answered; stops the backup when the first
    // kAclProbePaths answers are the same error.
    void NoteAclAnswer(bool ok, const std::string& error, const std::string& path);
    void Fatal(const std::string& message);
    bool Stopped() const { return m_bStop.load() || Interrupted(); }

    const BackupOptions& m_oOptions;
    CReporter& m_oReporter;
    CCluster m_oCluster;
    std::string m_sRoot;
    std::string m_sDest;
    CBackupDestination m_oDest;
    CManifestWriter m_oWriter;

    std::vector<std::unique_ptr<Worker>> m_vWorkers;
    std::atomic<bool> m_bStop{false};
    CFatalError m_oFatal;
    hdfsagent::Mutex m_oStateLock;  // the ACL probe, which the copy threads share

    // Until one ACL read succeeds or two fail differently: how many failed alike, and how.
    bool m_bAclProbing GUARDED_BY(m_oStateLock) = true;
    unsigned m_nAclFailuresAlike GUARDED_BY(m_oStateLock) = 0;
    std::string m_sAclFailure GUARDED_BY(m_oStateLock);

    // Incremental: the previous manifest, read side by side with the walk.
    std::unique_ptr<CManifestReader> m_pPrevious;
    ManifestEntry m_oPreviousEntry;
    int m_nPreviousState = 0;  // 1 an entry is held, 0 the end
    fs::path m_oPreviousRelative;
    int64_t m_nPreviousStart = 0;   // when the previous backup began (its header's "created")
    int64_t m_nStart = 0;           // when this one began
    CBackupChain m_oPreviousChain;  // where the previous backup's copies may be

    std::atomic<uint64_t> m_nCopiedFiles{0};
    std::atomic<uint64_t> m_nCopiedBytes{0};
    uint64_t m_nReferenced = 0;
    uint64_t m_nDirectories = 0;

    // Last, so that it is destroyed first: its threads use everything above.
    std::unique_ptr<COrderedPipeline<Job>> m_pPipeline;
};

// An existing DEST_DIR is opened and locked before anything else is done, so a second backup
// into it fails at once; one that does not exist yet is made when the backup is about to write.
bool CBackup::OpenDestination(std::string& error) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(m_sDest, ec)))
        return true;
    std::string warning;
    bool leftovers = false;
    if (!m_oDest.Open(m_sDest, warning, error))
        return false;
    if (!warning.empty())
        m_oReporter.Warning(warning);
    return m_oDest.Check(leftovers, error);
}

// Removes what an interrupted backup left, so that a rerun starts clean, and makes the data
// directory.
bool CBackup::PrepareDestination(std::string& error) {
    if (!m_oDest.IsOpen()) {
        std::string warning;
        if (!m_oDest.Create(m_sDest, warning, error))
            return false;
        if (!warning.empty())
            m_oReporter.Warning(warning);
    }
    bool leftovers = false;
    if (!m_oDest.Check(leftovers, error))
        return false;
    if (leftovers) {
        m_oReporter.Warning("removing what an interrupted backup left in " + m_sDest);
        if (!m_oDest.RemoveLeftovers(error))
            return false;
    }
    return m_oDest.MakeDataDirectory(error);
}

void CBackup::Fatal(const std::string& message) {
    m_oFatal.SetAndStop(message, m_pPipeline.get());
    m_bStop = true;
}

bool CBackup::OpenPrevious(std::string& error) {
    ManifestHeader header;
    ManifestTrailer trailer;
    // A damaged previous manifest must stop us before anything refers to it.
    if (!ValidateManifest(m_oOptions.previous, header, trailer, error)) {
        error = "previous backup: " + error;
        return false;
    }
    if (header.root != m_sRoot) {
        error = "the previous backup " + m_oOptions.previous + " is of " + header.root + ", not " +
                m_sRoot;
        return false;
    }
    std::error_code ec;
    const fs::path previous = fs::canonical(m_oOptions.previous, ec);
    const fs::path dest = fs::weakly_canonical(m_sDest, ec);
    if (ec) {
        error = "cannot resolve " + m_oOptions.previous + ": " + ec.message();
        return false;
    }
    if (previous == dest) {
        error = "the previous backup and DEST_DIR are the same directory";
        return false;
    }
    m_oPreviousRelative = previous.lexically_relative(dest);
    m_nPreviousStart = header.created;
    if (!m_oPreviousChain.Open(m_oOptions.previous, error))
        return false;
    m_pPrevious.reset(new CManifestReader);
    if (!m_pPrevious->Open(m_oOptions.previous, error))
        return false;
    m_nPreviousState = m_pPrevious->Next(m_oPreviousEntry, error);
    return m_nPreviousState >= 0;
}

const ManifestEntry* CBackup::FindPrevious(const std::string& path, std::string& error) {
    while (m_nPreviousState > 0 && ComparePathOrder(m_oPreviousEntry.path, path) < 0) {
        m_nPreviousState = m_pPrevious->Next(m_oPreviousEntry, error);
        if (m_nPreviousState < 0)
            return nullptr;
    }
    return m_nPreviousState > 0 && m_oPreviousEntry.path == path ? &m_oPreviousEntry : nullptr;
}

void CBackup::CountTotals() {
    uint64_t files = 0;
    uint64_t bytes = 0;
    CTreeWalker counter(m_oCluster.Fs(), m_sRoot, m_oOptions.excludes);
    std::string error;
    counter.Walk(
        [&](const WalkEntry& walk) {
            if (!walk.directory) {
                ++files;
                bytes += walk.size;
            }
            return true;
        },
        error);
    m_oReporter.SetTotals(files, bytes);
}

bool CBackup::OpenManifest(std::string& error) {
    ManifestHeader header;
    header.root = m_sRoot;
    header.source = m_oCluster.Fs().GetHadoopPathPrefix() + m_sRoot;
    header.hash = CContentHash::kName;
    header.acl = !m_oOptions.noAcl;
    header.created = m_nStart;
    header.previous = m_pPrevious ? m_oPreviousRelative.string() : "";
    header.excludes = m_oOptions.excludes;
    return m_oWriter.Open(m_oDest.Fd(), m_sDest, header, error);
}

bool CBackup::StartWorkers(std::string& error) {
    const unsigned count = std::max(1u, m_oOptions.threads);
    if (!MakeWorkers(m_oCluster, count, m_vWorkers, error))
        return false;
    PipelineOptions options;
    options.stopWhen = [this] { return Stopped(); };
    m_pPipeline.reset(new COrderedPipeline<Job>(
        [this](Job& job, unsigned worker) { Process(*m_vWorkers[worker], job); },
        [this](Job& job) { WriteEntry(job.entry); }, options));
    m_pPipeline->Start(count);
    return true;
}

void CBackup::Process(Worker& worker, Job& job) {
    if (job.copy)
        CopyFile(worker, job.walk, job.entry);
    if (!job.walk.directory)
        m_oReporter.FileDone();
    if (!m_oOptions.noAcl && job.entry.status != kStatusVanished && !Stopped())
        ReadAcl(worker, job.walk, job.entry);
    else
        m_oCluster.ForgetAcl(job.walk.hdfsPath);
}

bool CBackup::ReferencePrevious(const WalkEntry& walk, ManifestEntry& entry, std::string& error) {
    const ManifestEntry* previous = FindPrevious(walk.path, error);
    if (previous == nullptr || !UnchangedSincePrevious(*previous, walk, m_nPreviousStart))
        return false;
    const std::string location = (m_oPreviousRelative / previous->data).lexically_normal().string();
    // Content that is gone from the earlier backup (or is not where a backup keeps content) is
    // copied again.
    std::string why;
    if (!m_oOptions.dryRun && !CFd(m_oPreviousChain.OpenCopy(previous->data, why)).IsOpen())
        return false;
    entry.data = location;
    entry.hash = previous->hash;
    entry.referenced = true;
    return true;
}

bool CBackup::OpenSource(const WalkEntry& walk, ManifestEntry& entry,
                         boost::shared_ptr<CHadoopFile>& file) {
    errno = 0;
    if (m_oCluster.Fs().Open(walk.hdfsPath.c_str(), O_RDONLY, file, 0, 0, 0) == 0 && file)
        return true;
    const int error = errno != 0 ? errno : EIO;
    entry.status = error == ENOENT ? kStatusVanished : kStatusFailed;
    entry.detail = error == ENOENT ? "deleted before it could be read"
                                   : ErrnoMessage("cannot open", walk.hdfsPath, error);
    return false;
}

bool CBackup::CopyContent(Worker& worker, CHadoopFile& file, CFd& out, const WalkEntry& walk,
                          ManifestEntry& entry, CopyCount& count) {
    CWriteBehind writeBehind(out.Get(), !m_oOptions.noSync);
    worker.hash.Reset();
    for (;;) {
        if (Stopped())
            return false;
        errno = 0;
        const int n = file.Read(worker.buffer.data(), static_cast<unsigned>(worker.buffer.size()));
        if (n == 0)
            return true;
        if (n < 0) {
            const int error = errno != 0 ? errno : EIO;
            entry.status = error == ENOENT ? kStatusVanished : kStatusFailed;
            entry.detail = ErrnoMessage("cannot read", walk.hdfsPath, error);
            out.Close();
            m_oDest.RemoveFile(walk.path);
            return false;
        }
        ++count.reads;
        worker.hash.Update(worker.buffer.data(), static_cast<size_t>(n));
        if (!WriteAll(out.Get(), worker.buffer.data(), static_cast<size_t>(n))) {
            Fatal(ErrnoMessage("cannot write",
                               m_sDest + "/" + CBackupDestination::DataLocation(walk.path), errno));
            return false;
        }
        count.bytes += static_cast<uint64_t>(n);
        writeBehind.Wrote(count.bytes);
        m_oReporter.AddBytes(static_cast<uint64_t>(n));
    }
}

void CBackup::CopyFile(Worker& worker, const WalkEntry& walk, ManifestEntry& entry) {
    boost::shared_ptr<CHadoopFile> file;
    if (!OpenSource(walk, entry, file))
        return;
    const std::string location = CBackupDestination::DataLocation(walk.path);
    std::string error;
    CFd out(m_oDest.CreateFile(walk.path, error));
    if (!out.IsOpen())
        return Fatal(error);
    CopyCount count;
    if (!CopyContent(worker, *file, out, walk, entry, count))
        return;
    file->Close();
    if (!out.Close())
        return Fatal(ErrnoMessage("cannot write", m_sDest + "/" + location, errno));
    entry.hash = worker.hash.HexDigest();
    entry.data = location;
    entry.size = count.bytes;
    ++m_nCopiedFiles;
    m_nCopiedBytes += count.bytes;
    // A copy made by one read of exactly the listed size cannot mix two versions, and asking
    // the name node again for every small file would double the cost of a tree of small files;
    // any other copy is checked against a fresh look at the file.
    if (count.reads > 1 || count.bytes != walk.size)
        CheckUnchangedAfterRead(walk, count.bytes, entry);
}

// A file that changed while it was read is kept, marked: its copy may mix old and new data.
void CBackup::CheckUnchangedAfterRead(const WalkEntry& walk, uint64_t copied,
                                      ManifestEntry& entry) {
    hdfsFileInfo* after = nullptr;
    errno = 0;
    if (m_oCluster.Fs().GetFileInfo(walk.hdfsPath.c_str(), &after) != 0 || after == nullptr) {
        entry.status = kStatusChanged;
        entry.detail = "deleted while it was read";
        return;
    }
    const bool sameSize = after->mSize >= 0 && static_cast<uint64_t>(after->mSize) == walk.size;
    const bool sameTime = after->mLastMod == walk.mtime;
    m_oCluster.Fs().FreeFileInfo(after, 1);
    if (!sameSize || !sameTime || copied != walk.size) {
        entry.status = kStatusChanged;
        entry.detail = "changed while it was read (" + std::to_string(walk.size) +
                       " bytes listed, " + std::to_string(copied) + " read)";
    }
}

void CBackup::NoteAclAnswer(bool ok, const std::string& error, const std::string& path) {
    std::string stop;
    {
        hdfsagent::MutexLock guard(m_oStateLock);
        if (!m_bAclProbing)
            return;
        const std::string failure = WithoutPath(error, path);
        if (ok || (m_nAclFailuresAlike > 0 && failure != m_sAclFailure)) {
            m_bAclProbing = false;
            return;
        }
        m_sAclFailure = failure;
        if (++m_nAclFailuresAlike < kAclProbePaths)
            return;
        m_bAclProbing = false;
        stop = "the REST utility service failed alike for the first " +
               std::to_string(kAclProbePaths) + " paths (" + path + ": " + error + ")";
    }
    Fatal(stop + kNoAclHint);
}

void CBackup::ReadAcl(Worker& worker, const WalkEntry& walk, ManifestEntry& entry) {
    std::string error;
    RestResult result = RestResult::kPathProblem;
    const bool utf8 = IsValidUtf8(walk.hdfsPath);
    if (utf8)
        result =
            m_oCluster.GetAcl(walk.hdfsPath, entry.acl, entry.xattrs, error, worker.rest.get());
    else
        error = "the REST utility service takes only UTF-8 names";
    switch (result) {
        case RestResult::kOk:
            NoteAclAnswer(true, "", walk.hdfsPath);
            return;
        case RestResult::kPathProblem:
            break;
        case RestResult::kServiceFailure:
            return Fatal(error + kNoAclHint);
    }
    entry.acl = nullptr;
    entry.xattrs = nullptr;
    const std::string detail = "ACL and extended attributes: " + error;
    if (error.find("FileNotFoundException") != std::string::npos) {
        // Gone from the cluster by now: a backup of it would restore a file that no longer is.
        if (entry.status == kStatusOk) {
            entry.status = kStatusVanished;
            entry.detail = detail;
        }
        return;
    }
    // What was copied stays in the backup; only the metadata the service could not give is
    // missing, and the entry says so.
    if (entry.status == kStatusOk) {
        entry.status = kStatusPartial;
        entry.detail = detail;
    } else if (entry.status == kStatusChanged) {
        entry.detail += "; " + detail;
    }
    if (utf8)
        NoteAclAnswer(false, error, walk.hdfsPath);
}

void CBackup::WriteEntry(const ManifestEntry& entry) {
    if (m_oOptions.dryRun) {
        if (!entry.directory)
            m_oReporter.Line(std::string(entry.referenced ? "unchanged " : "copy      ") +
                             entry.path + " (" + HumanBytes(static_cast<double>(entry.size)) + ")");
        nlohmann::ordered_json event;
        event["event"] = "plan";
        event["path"] = entry.path;
        event["type"] = entry.directory ? "directory" : "file";
        event["action"] = entry.directory ? "create" : (entry.referenced ? "reference" : "copy");
        event["size"] = entry.size;
        m_oReporter.Event(event);
        return;
    }
    std::string error;
    if (!m_oWriter.Write(entry, error))
        return Fatal(error);
    if (entry.status != kStatusOk)
        m_oReporter.Problem(entry.path, entry.status + ": " + entry.detail);
}

bool CBackup::PlanDirectory(Job& job) {
    ++m_nDirectories;
    if (!job.walk.listError.empty()) {
        job.entry.status = kStatusFailed;
        job.entry.detail = job.walk.listError;
    }
    // Made here, in walk order, before any thread writes a file into it.
    std::string error;
    if (!m_oOptions.dryRun && job.walk.path != "." &&
        !m_oDest.MakeDirectory(job.walk.path, error)) {
        Fatal(error);
        return false;
    }
    return true;
}

bool CBackup::PlanFile(Job& job) {
    std::string error;
    if (m_pPrevious && ReferencePrevious(job.walk, job.entry, error)) {
        ++m_nReferenced;
        m_oReporter.AddBytes(job.walk.size);
    } else if (m_nPreviousState < 0) {
        Fatal("previous backup: " + error);
        return false;
    } else if (m_oOptions.dryRun) {
        ++m_nCopiedFiles;
        m_nCopiedBytes += job.walk.size;
    } else {
        job.copy = true;
    }
    return true;
}

bool CBackup::Visit(const WalkEntry& walk) {
    std::unique_ptr<Job> job(new Job);
    job->walk = walk;
    job->entry = EntryFromWalk(walk);
    job->entry.zone = m_oCluster.ZoneOf(walk.hdfsPath);
    if (!(walk.directory ? PlanDirectory(*job) : PlanFile(*job)))
        return false;
    if (m_oOptions.dryRun) {
        WriteEntry(job->entry);
        return true;
    }
    if (m_oCluster.HasRest())
        m_oCluster.ExpectAcl(walk.hdfsPath);
    return m_pPipeline->Submit(std::move(job));
}

int CBackup::Prepare(const ConnectOptions& connect) {
    if (!NormalizeHdfsPath(m_oOptions.hdfsPath, m_sRoot)) {
        m_oReporter.Fatal("HDFS_PATH must be an absolute HDFS path without . or .. components: " +
                          m_oOptions.hdfsPath);
        return kExitUsage;
    }
    m_sDest = m_oOptions.destDir;
    // Taken before anything is listed: a later backup trusts no modification time from this
    // second on (UnchangedSincePrevious).
    m_nStart = time(nullptr);
    std::string error;
    if ((!m_oOptions.dryRun && !OpenDestination(error)) ||
        (!m_oOptions.previous.empty() && !OpenPrevious(error))) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    ClusterOpening opening;
    opening.rest = !m_oOptions.noAcl && !m_oOptions.dryRun;
    opening.noAclHint = kNoAclHint;
    opening.zonesWarning = "; the manifest records no encryption zones";
    if (!m_oOptions.dryRun)
        opening.afterRest = [this](std::string& why) { return PrepareDestination(why); };
    const int rc = OpenCluster(m_oCluster, connect, opening, m_oReporter);
    if (rc != kExitOk)
        return rc;
    if (m_oReporter.ShowsProgress())
        CountTotals();
    if (!m_oOptions.dryRun && (!OpenManifest(error) || !StartWorkers(error))) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    return kExitOk;
}

int CBackup::Walk() {
    std::string error;
    CTreeWalker walker(m_oCluster.Fs(), m_sRoot, m_oOptions.excludes);
    bool walked = walker.Walk([this](const WalkEntry& walk) { return Visit(walk); }, error);
    walked = (m_pPipeline ? m_pPipeline->Drain() : !Stopped()) && walked;
    if (m_pPipeline)
        m_pPipeline->Close();
    if (Interrupted()) {
        m_oWriter.Abort();
        m_oReporter.Fatal("interrupted; no backup was recorded in " + m_sDest);
        EndByInterrupt();
    }
    if (!walked || m_oFatal.IsSet()) {
        m_oWriter.Abort();
        m_oReporter.Fatal(m_oFatal.IsSet() ? m_oFatal.Message() : error);
        return kExitFatal;
    }
    if (!m_oOptions.dryRun && !m_oWriter.Commit(!m_oOptions.noSync, error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    return kExitOk;
}

int CBackup::Summarise() {
    const double seconds = m_oReporter.ElapsedSeconds();
    const uint64_t copiedFiles = m_nCopiedFiles;
    const uint64_t copiedBytes = m_nCopiedBytes;
    nlohmann::ordered_json summary;
    summary["source"] = m_sRoot;
    summary["destination"] = m_sDest;
    summary["dry_run"] = m_oOptions.dryRun;
    summary["files_copied"] = copiedFiles;
    summary["bytes_copied"] = copiedBytes;
    summary["files_referenced"] = m_nReferenced;
    summary["directories"] = m_nDirectories;
    std::string text = std::string(m_oOptions.dryRun ? "dry run: would back up " : "backed up ") +
                       m_sRoot + (m_oOptions.dryRun ? "" : " to " + m_sDest) + ": " +
                       Plural(copiedFiles, "file") + " (" +
                       HumanBytes(static_cast<double>(copiedBytes)) + ") " +
                       (m_oOptions.dryRun ? "to copy" : "copied");
    if (m_pPrevious)
        text += ", " + std::to_string(m_nReferenced) + " unchanged";
    char rate[64];
    snprintf(rate, sizeof rate, " in %.1f s", seconds);
    text += ", " + std::to_string(m_nDirectories) +
            (m_nDirectories == 1 ? " directory" : " directories") + ", " +
            Plural(m_oReporter.Problems(), "problem") + rate;
    m_oReporter.Summary(text, summary);
    return m_oReporter.Problems() > 0 ? kExitPartial : kExitOk;
}

int CBackup::Run(const ConnectOptions& connect) {
    int rc = Prepare(connect);
    if (rc == kExitOk)
        rc = Walk();
    return rc == kExitOk ? Summarise() : rc;
}

}  // namespace

int RunBackup(const BackupOptions& options, const ConnectOptions& connect, CReporter& reporter) {
    CBackup backup(options, reporter);
    return backup.Run(connect);
}

}  // namespace tool
