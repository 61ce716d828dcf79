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
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "BackupDir.h"
#include "Cluster.h"
#include "Commands.h"
#include "Hash.h"
#include "Interrupt.h"
#include "LocalFile.h"
#include "Manifest.h"
#include "Paths.h"
#include "Walker.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

// Read in blocks of this size (libhdfs reads are 32-bit; bigger blocks gain nothing).
const size_t kCopyBlockBytes = 4u << 20;
// A file's copy is handed to the disk in pieces of this size while it is written.
const uint64_t kWriteBehindBytes = 8u << 20;
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
    bool done = false;
};

// What one copy thread owns: its read buffer, its hash state and its REST client.
struct Worker {
    std::vector<char> buffer;
    CContentHash hash;
    std::unique_ptr<DXHadoop::CHadoopRestUtil> rest;
    std::thread thread;
};

// The walk runs on the main thread, in backup order; it decides everything that depends on the
// order (the previous manifest, the encryption zone, local directories) and hands each path to
// a pool of copy threads, which copy, hash and read ACLs. The main thread writes finished
// entries to the manifest strictly in walk order. At most kMaxInFlight paths are between the
// walk and the manifest, so memory stays bounded however large the tree is.
class CBackup {
  public:
    CBackup(const BackupOptions& options, CReporter& reporter)
        : m_oOptions(options), m_oReporter(reporter) {}
    ~CBackup() { StopWorkers(); }

    int Run(const ConnectOptions& connect);

  private:
    static const size_t kMaxInFlight = 256;
    // Once the window is full, the walk waits for this many finished paths (or for the copy
    // threads to run out of work) before it goes on, so that it and the copy threads do not
    // wake each other for every file.
    static const size_t kResumeAfter = 64;
    // Waking a thread costs more than copying a small file, so idle copy threads are woken
    // when this many paths wait for them, or when the walk itself is about to wait.
    static const size_t kWakeBatch = 16;

    bool OpenDestination(std::string& error);
    bool PrepareDestination(std::string& error);
    bool OpenPrevious(std::string& error);
    const ManifestEntry* FindPrevious(const std::string& path, std::string& error);
    void CountTotals();
    bool StartWorkers(std::string& error);
    void StopWorkers();
    void WorkerLoop(Worker& worker);
    void Process(Worker& worker, Job& job);
    bool Visit(const WalkEntry& walk);
    // Writes the finished jobs at the front; with `all`, waits for every job first.
    bool WriteFinished(bool all);
    // Under m_oLock: whether the walk, waiting in WriteFinished, has something to do.
    bool WalkMayGoOn() const;
    void WriteEntry(const ManifestEntry& entry);
    bool ReferencePrevious(const WalkEntry& walk, ManifestEntry& entry, std::string& error);
    void CopyFile(Worker& worker, const WalkEntry& walk, ManifestEntry& entry);
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

    // The pipeline: m_dqInFlight in walk order, m_dqPending the jobs no thread has taken yet.
    std::vector<std::unique_ptr<Worker>> m_vWorkers;
    std::mutex m_oLock;
    std::condition_variable m_oWork;  // a job to take, or the end
    std::condition_variable m_oDone;  // a job finished
    std::deque<std::unique_ptr<Job>> m_dqInFlight;
    std::deque<Job*> m_dqPending;
    bool m_bClosed = false;
    bool m_bWalkWaits = false;    // the walk waits in WriteFinished
    bool m_bDraining = false;     // the walk has ended: every finished path is written at once
    size_t m_nFinished = 0;       // finished paths not yet written
    unsigned m_nIdleWorkers = 0;  // copy threads waiting for work
    std::atomic<bool> m_bStop{false};
    std::string m_sFatal;

    // Until one ACL read succeeds or two fail differently: how many failed alike, and how.
    bool m_bAclProbing = true;
    unsigned m_nAclFailuresAlike = 0;
    std::string m_sAclFailure;

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
    {
        std::lock_guard<std::mutex> guard(m_oLock);
        if (m_sFatal.empty())
            m_sFatal = message;
    }
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

bool CBackup::StartWorkers(std::string& error) {
    const unsigned count = std::max(1u, m_oOptions.threads);
    for (unsigned i = 0; i < count; ++i) {
        std::unique_ptr<Worker> worker(new Worker);
        worker->buffer.resize(kCopyBlockBytes);
        if (m_oCluster.HasRest()) {
            worker->rest = m_oCluster.NewRestClient(error);
            if (!worker->rest)
                return false;
        }
        m_vWorkers.push_back(std::move(worker));
    }
    for (std::unique_ptr<Worker>& worker : m_vWorkers) {
        Worker* w = worker.get();
        w->thread = std::thread([this, w] { WorkerLoop(*w); });
    }
    return true;
}

void CBackup::StopWorkers() {
    {
        std::lock_guard<std::mutex> guard(m_oLock);
        m_bClosed = true;
    }
    m_oWork.notify_all();
    for (std::unique_ptr<Worker>& worker : m_vWorkers)
        if (worker->thread.joinable())
            worker->thread.join();
}

void CBackup::WorkerLoop(Worker& worker) {
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_oLock);
            ++m_nIdleWorkers;
            m_oWork.wait(lock, [this] { return m_bClosed || !m_dqPending.empty(); });
            --m_nIdleWorkers;
            if (m_dqPending.empty())
                return;
            job = m_dqPending.front();
            m_dqPending.pop_front();
        }
        if (!Stopped())
            Process(worker, *job);
        bool wake = false;
        {
            std::lock_guard<std::mutex> guard(m_oLock);
            job->done = true;
            ++m_nFinished;
            wake = m_bWalkWaits && WalkMayGoOn();
        }
        if (wake)
            m_oDone.notify_one();
    }
}

void CBackup::Process(Worker& worker, Job& job) {
    if (job.copy)
        CopyFile(worker, job.walk, job.entry);
    if (!job.walk.directory)
        m_oReporter.FileDone();
    if (!m_oOptions.noAcl && job.entry.status != kStatusVanished && !Stopped())
        ReadAcl(worker, job.walk, job.entry);
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

void CBackup::CopyFile(Worker& worker, const WalkEntry& walk, ManifestEntry& entry) {
    boost::shared_ptr<CHadoopFile> file;
    errno = 0;
    if (m_oCluster.Fs().Open(walk.hdfsPath.c_str(), O_RDONLY, file, 0, 0, 0) != 0 || !file) {
        const int error = errno != 0 ? errno : EIO;
        entry.status = error == ENOENT ? kStatusVanished : kStatusFailed;
        entry.detail = error == ENOENT ? "deleted before it could be read"
                                       : ErrnoMessage("cannot open", walk.hdfsPath, error);
        return;
    }
    const std::string location = CBackupDestination::DataLocation(walk.path);
    const std::string local = m_sDest + "/" + location;
    std::string error;
    CFd out(m_oDest.CreateFile(walk.path, error));
    if (!out.IsOpen())
        return Fatal(error);
    worker.hash.Reset();
    uint64_t copied = 0;
    uint64_t writtenBack = 0;
    uint64_t droppedUpTo = 0;
    unsigned reads = 0;  // reads that returned data
    for (;;) {
        if (Stopped())
            return;
        errno = 0;
        const int n = file->Read(worker.buffer.data(), static_cast<unsigned>(worker.buffer.size()));
        if (n == 0)
            break;
        if (n < 0) {
            const int error = errno != 0 ? errno : EIO;
            entry.status = error == ENOENT ? kStatusVanished : kStatusFailed;
            entry.detail = ErrnoMessage("cannot read", walk.hdfsPath, error);
            out.Close();
            m_oDest.RemoveFile(walk.path);
            return;
        }
        ++reads;
        worker.hash.Update(worker.buffer.data(), static_cast<size_t>(n));
        if (!WriteAll(out.Get(), worker.buffer.data(), static_cast<size_t>(n)))
            return Fatal(ErrnoMessage("cannot write", local, errno));
        copied += static_cast<uint64_t>(n);
        // Large files are written back while the copy goes on, so the final sync of the backup
        // has little left to do (small files are left to the one sync at the end).
        if (!m_oOptions.noSync && copied - writtenBack >= kWriteBehindBytes) {
            // The piece before the one just started is on disk by now (or soon): wait for it
            // and drop it from the page cache, so a backup neither floods memory with dirty
            // pages nor evicts everything else.
            if (writtenBack > droppedUpTo) {
                sync_file_range(out.Get(), static_cast<off64_t>(droppedUpTo),
                                static_cast<off64_t>(writtenBack - droppedUpTo),
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                    SYNC_FILE_RANGE_WAIT_AFTER);
                posix_fadvise(out.Get(), static_cast<off_t>(droppedUpTo),
                              static_cast<off_t>(writtenBack - droppedUpTo), POSIX_FADV_DONTNEED);
                droppedUpTo = writtenBack;
            }
            sync_file_range(out.Get(), static_cast<off64_t>(writtenBack),
                            static_cast<off64_t>(copied - writtenBack), SYNC_FILE_RANGE_WRITE);
            writtenBack = copied;
        }
        m_oReporter.AddBytes(static_cast<uint64_t>(n));
    }
    file->Close();
    if (!out.Close())
        return Fatal(ErrnoMessage("cannot write", local, errno));
    entry.hash = worker.hash.HexDigest();
    entry.data = location;
    entry.size = copied;
    ++m_nCopiedFiles;
    m_nCopiedBytes += copied;

    // A file that changed while it was read is kept, marked: its copy may mix old and new data.
    // A copy made by one read of exactly the listed size cannot mix two versions, and asking
    // the name node again for every small file would double the cost of a tree of small files;
    // any other copy is checked against a fresh look at the file.
    if (reads <= 1 && copied == walk.size)
        return;
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
        std::lock_guard<std::mutex> guard(m_oLock);
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

bool CBackup::WalkMayGoOn() const {
    if (m_dqInFlight.empty() || Stopped())
        return true;
    if (!m_dqInFlight.front()->done)
        return false;
    return m_bDraining || m_nFinished >= kResumeAfter || m_dqPending.empty();
}

bool CBackup::WriteFinished(bool all) {
    for (;;) {
        std::unique_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(m_oLock);
            m_bDraining = all;
            // Wait while the window is full (or everything must be written) and the front is
            // not ready to be written.
            if (all || m_dqInFlight.size() >= kMaxInFlight) {
                if (m_nIdleWorkers > 0 && !m_dqPending.empty())
                    m_oWork.notify_all();
                m_bWalkWaits = true;
                m_oDone.wait(lock, [this] { return WalkMayGoOn(); });
                m_bWalkWaits = false;
            }
            if (m_dqInFlight.empty() || !m_dqInFlight.front()->done)
                return !Stopped();
            job = std::move(m_dqInFlight.front());
            m_dqInFlight.pop_front();
            --m_nFinished;
        }
        if (!Stopped())
            WriteEntry(job->entry);
    }
}

bool CBackup::Visit(const WalkEntry& walk) {
    std::unique_ptr<Job> job(new Job);
    job->walk = walk;
    job->entry = EntryFromWalk(walk);
    ManifestEntry& entry = job->entry;
    entry.zone = m_oCluster.ZoneOf(walk.hdfsPath);
    if (walk.directory) {
        ++m_nDirectories;
        if (!walk.listError.empty()) {
            entry.status = kStatusFailed;
            entry.detail = walk.listError;
        }
        // Made here, in walk order, before any thread writes a file into it.
        std::string error;
        if (!m_oOptions.dryRun && walk.path != "." && !m_oDest.MakeDirectory(walk.path, error)) {
            Fatal(error);
            return false;
        }
    } else {
        std::string error;
        if (m_pPrevious && ReferencePrevious(walk, entry, error)) {
            ++m_nReferenced;
            m_oReporter.AddBytes(walk.size);
        } else if (m_nPreviousState < 0) {
            Fatal("previous backup: " + error);
            return false;
        } else if (m_oOptions.dryRun) {
            ++m_nCopiedFiles;
            m_nCopiedBytes += walk.size;
        } else {
            job->copy = true;
        }
    }
    if (m_oOptions.dryRun) {
        WriteEntry(entry);
        return true;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(m_oLock);
        m_dqPending.push_back(job.get());
        m_dqInFlight.push_back(std::move(job));
        wake = m_nIdleWorkers > 0 && m_dqPending.size() >= kWakeBatch;
    }
    if (wake)
        m_oWork.notify_one();
    return WriteFinished(false);
}

int CBackup::Run(const ConnectOptions& connect) {
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
    if (!m_oOptions.dryRun && !OpenDestination(error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    if (!m_oOptions.previous.empty() && !OpenPrevious(error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    if (!m_oCluster.Connect(connect, error)) {
        m_oReporter.Fatal("cannot connect to HDFS: " + error);
        return kExitFatal;
    }
    if (!m_oOptions.noAcl && !m_oOptions.dryRun && !m_oCluster.StartRest(error)) {
        m_oReporter.Fatal(error + kNoAclHint);
        return kExitFatal;
    }
    if (!m_oOptions.dryRun && !PrepareDestination(error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }
    if (!m_oCluster.LoadZones(error))
        m_oReporter.Warning(error + "; the manifest records no encryption zones");
    if (m_oReporter.ShowsProgress())
        CountTotals();

    if (!m_oOptions.dryRun) {
        ManifestHeader header;
        header.root = m_sRoot;
        header.source = m_oCluster.Fs().GetHadoopPathPrefix() + m_sRoot;
        header.hash = CContentHash::kName;
        header.acl = !m_oOptions.noAcl;
        header.created = m_nStart;
        header.previous = m_pPrevious ? m_oPreviousRelative.string() : "";
        header.excludes = m_oOptions.excludes;
        if (!m_oWriter.Open(m_oDest.Fd(), m_sDest, header, error) || !StartWorkers(error)) {
            m_oReporter.Fatal(error);
            return kExitFatal;
        }
    }

    CTreeWalker walker(m_oCluster.Fs(), m_sRoot, m_oOptions.excludes);
    bool walked = walker.Walk([this](const WalkEntry& walk) { return Visit(walk); }, error);
    walked = WriteFinished(true) && walked;
    StopWorkers();
    if (Interrupted()) {
        m_oWriter.Abort();
        m_oReporter.Fatal("interrupted; no backup was recorded in " + m_sDest);
        EndByInterrupt();
    }
    if (!walked || !m_sFatal.empty()) {
        m_oWriter.Abort();
        m_oReporter.Fatal(m_sFatal.empty() ? error : m_sFatal);
        return kExitFatal;
    }
    if (!m_oOptions.dryRun && !m_oWriter.Commit(!m_oOptions.noSync, error)) {
        m_oReporter.Fatal(error);
        return kExitFatal;
    }

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

}  // namespace

int RunBackup(const BackupOptions& options, const ConnectOptions& connect, CReporter& reporter) {
    CBackup backup(options, reporter);
    return backup.Run(connect);
}

}  // namespace tool
