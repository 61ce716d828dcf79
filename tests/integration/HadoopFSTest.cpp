// The file-system operations and file handles of CHadoopFS against the libhdfs stand-in: the stat
// conversion, kinds, listings (empty, missing, failing), opening, reading and closing, space and
// block information, ownership by IDs, links removed on destruction, and bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionPeer.h"
#include "support/HadoopConnectionSupport.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::ErrnoOf;
using testsupport::LocalInstall;
using testsupport::ProductHome;
using testsupport::ScopedEnv;

class FileSystem : public ::testing::Test {
  protected:
    void Start(const std::string& variant = "",
               const std::map<std::string, std::string>& properties = {}) {
        ASSERT_TRUE(testsupport::StartWithLibhdfs(variant).Succeeded());
        m_home.reset(new ProductHome());
        m_install.reset(new LocalInstall(properties));
        m_install->Activate();
        m_fs.reset(new CHadoopFS());
        ASSERT_TRUE(m_fs->Good()) << m_fs->GetLastErrorString();
    }
    std::string Backing(const std::string& path) const { return m_install->namespaceRoot() + path; }
    void MakeFile(const std::string& path, const std::string& content) const {
        testsupport::WriteFile(Backing(path), content);
    }
    void MakeDirectory(const std::string& path, mode_t mode = 0755) const {
        ASSERT_EQ(0, testsupport::Shell("mkdir -p '" + Backing(path) + "'"));
        ASSERT_EQ(0, chmod(Backing(path).c_str(), mode));
    }
    std::string OwnerAndGroup(const std::string& path) const {
        hdfsFileInfo* info = nullptr;
        if (m_fs->GetFileInfo(path.c_str(), &info) != 0)
            return "(failed)";
        const std::string both = std::string(info->mOwner) + ":" + info->mGroup;
        m_fs->FreeFileInfo(info, 1);
        return both;
    }
    static void SetXattr(const std::string& file, const std::string& name,
                         const std::string& value) {
        ASSERT_EQ(0, setxattr(file.c_str(), name.c_str(), value.data(), value.size(), 0));
    }

    std::unique_ptr<ProductHome> m_home;
    std::unique_ptr<LocalInstall> m_install;
    std::unique_ptr<CHadoopFS> m_fs;
};

// --- File information and listings ------------------------------------------------------------

TEST_F(FileSystem, StatOfDirectory755AndKinds) {
    Start();
    MakeDirectory("/d", 0755);
    MakeFile("/f", "x");
    struct stat st;
    memset(&st, 0x5a, sizeof st);
    ASSERT_EQ(0, m_fs->GetFileInfo("/d", &st));
    EXPECT_EQ(040755u, st.st_mode);
    EXPECT_EQ(static_cast<dev_t>(-1), st.st_dev);
    EXPECT_EQ(static_cast<ino_t>(-1), st.st_ino);
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);
    EXPECT_EQ(0u, st.st_nlink);
    EXPECT_EQ(1, m_fs->IsDirectory("/d"));
    EXPECT_EQ(0, m_fs->IsRegular("/d"));
    EXPECT_EQ(0, m_fs->IsDirectory("/f"));
    EXPECT_EQ(1, m_fs->IsRegular("/f"));
    EXPECT_EQ(0, m_fs->Exists("/f"));
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->IsDirectory("/missing"); }));
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->IsRegular("/missing"); }));
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->Exists("/missing"); }));
}

TEST_F(FileSystem, ListDirectoryWithEntriesEmptyAndMissingInBothForms) {
    Start();
    MakeFile("/d/a", "1");
    MakeFile("/d/b", "22");
    MakeDirectory("/empty");
    boost::shared_ptr<CHadoopFileInfoArray> entries;
    hdfsFileInfo* raw = nullptr;
    int count = -1;
    ASSERT_EQ(0, m_fs->ListDirectory("/d", entries, count));
    ASSERT_TRUE(entries);
    EXPECT_EQ(2, count);
    EXPECT_EQ(2, entries->GetCount());
    ASSERT_EQ(0, m_fs->ListDirectory("/d", &raw, count));
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ(2, count);
    m_fs->FreeFileInfo(raw, count);

    // An empty directory gives no array and a count of 0.
    count = -1;
    ASSERT_EQ(0, m_fs->ListDirectory("/empty", entries, count));
    EXPECT_FALSE(entries);
    EXPECT_EQ(0, count);
    raw = reinterpret_cast<hdfsFileInfo*>(1);
    count = -1;
    ASSERT_EQ(0, m_fs->ListDirectory("/empty", &raw, count));
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(0, count);

    // A missing path fails and leaves the outputs alone.
    entries.reset(new CHadoopFileInfoArray(nullptr, 0));
    CHadoopFileInfoArray* before = entries.get();
    count = 7;
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->ListDirectory("/missing", entries, count); }));
    EXPECT_EQ(before, entries.get());
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->ListDirectory("/missing", &raw, count); }));
    EXPECT_EQ(7, count);
}

// A failed listing of an existing directory used to pass for an empty one, so a backup would skip
// the directory's content without a word. Older libhdfs releases, though, report an empty
// directory as null with ENOENT (or ESRCH).
TEST_F(FileSystem, ListDirectoryReportsPermissionDenied) {
    Start();
    MakeFile("/d/a", "1");
    boost::shared_ptr<CHadoopFileInfoArray> entries;
    hdfsFileInfo* raw = nullptr;
    int count = 7;
    {
        ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsListDirectory=13");
        EXPECT_EQ(EACCES, ErrnoOf([&] { return m_fs->ListDirectory("/d", entries, count); }));
        EXPECT_FALSE(entries);
        EXPECT_EQ(EACCES, ErrnoOf([&] { return m_fs->ListDirectory("/d", &raw, count); }));
        EXPECT_EQ(7, count);
    }
    for (const char* fault : {"hdfsListDirectory=2", "hdfsListDirectory=3"}) {
        SCOPED_TRACE(fault);
        ScopedEnv faults("LOCALHDFS_FAULTS", fault);
        count = -1;
        EXPECT_EQ(0, m_fs->ListDirectory("/d", entries, count));
        EXPECT_EQ(0, count);
        EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->ListDirectory("/missing", entries, count); }));
    }
}

// --- Files -------------------------------------------------------------------------------------

TEST_F(FileSystem, WriteReadBadLengthsAndCloseTwice) {
    Start();
    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, m_fs->Open("/data/f", O_WRONLY, file, 0, 0, 0));
    EXPECT_STREQ("/data/f", file->GetFilename());
    EXPECT_EQ(10, file->Write("0123456789", 10));
    EXPECT_EQ(0, file->Flush());
    EXPECT_EQ(10, file->Tell());
    EXPECT_EQ(0, file->Close());
    EXPECT_EQ("0123456789", testsupport::ReadFile(Backing("/data/f")));

    ASSERT_EQ(0, m_fs->Open("/data/f", O_RDONLY, file, 0, 0, 0));
    char buffer[16] = {};
    EXPECT_EQ(4, file->Pread(buffer, 4, 6));
    EXPECT_EQ("6789", std::string(buffer, 4));
    EXPECT_EQ(0, file->Tell());  // pread leaves the position alone
    EXPECT_EQ(0, file->Seek(2));
    EXPECT_EQ(3, file->Read(buffer, 3));
    EXPECT_EQ("234", std::string(buffer, 3));
    EXPECT_EQ(5, file->Tell());

    // Lengths beyond the library's size type, negative positions.
    const unsigned int tooLong = static_cast<unsigned int>(INT32_MAX) + 1u;
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return file->Read(buffer, tooLong); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return file->Pread(buffer, tooLong, 0); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return file->Pread(buffer, 1, -1); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return file->Seek(-1); }));

    // Closing twice, then every use of the closed handle.
    EXPECT_TRUE(file->IsOpen());
    EXPECT_EQ(0, file->Close());
    EXPECT_EQ(0, file->Close());
    EXPECT_FALSE(file->IsOpen());
    errno = 0;
    EXPECT_EQ(-1L, file->Tell());
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(EIO, ErrnoOf([&] { return file->Read(buffer, 1); }));
    EXPECT_EQ(EIO, ErrnoOf([&] { return file->Pread(buffer, 1, 0); }));
    EXPECT_EQ(EIO, ErrnoOf([&] { return file->Write("x", 1); }));
    EXPECT_EQ(EIO, ErrnoOf([&] { return file->Seek(0); }));
    EXPECT_EQ(EIO, ErrnoOf([&] { return file->Flush(); }));
}

TEST_F(FileSystem, OpenFlags) {
    Start();
    MakeFile("/f", "old content");
    boost::shared_ptr<CHadoopFile> file;
    // Write-only truncates.
    ASSERT_EQ(0, m_fs->Open("/f", O_WRONLY, file, 0, 0, 0));
    ASSERT_EQ(0, file->Close());
    EXPECT_EQ("", testsupport::ReadFile(Backing("/f")));
    // Append keeps what is there; it needs an existing file.
    for (const char* part : {"ab", "cd"}) {
        ASSERT_EQ(0, m_fs->Open("/f", O_WRONLY | O_APPEND, file, 0, 0, 0));
        EXPECT_EQ(2, file->Write(part, 2));
        ASSERT_EQ(0, file->Close());
    }
    EXPECT_EQ("abcd", testsupport::ReadFile(Backing("/f")));
    EXPECT_EQ(ENOENT,
              ErrnoOf([&] { return m_fs->Open("/nofile", O_WRONLY | O_APPEND, file, 0, 0, 0); }));
    EXPECT_FALSE(file);
    // Read-write is not supported by libhdfs; a failed open leaves no handle.
    ASSERT_EQ(0, m_fs->Open("/f", O_RDONLY, file, 0, 0, 0));
    EXPECT_EQ(ENOTSUP, ErrnoOf([&] { return m_fs->Open("/f", O_RDWR, file, 0, 0, 0); }));
    EXPECT_FALSE(file);
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->Open("/nofile", O_RDONLY, file, 0, 0, 0); }));
}

// A reconnect drops the connection's handle while files opened on it are still in use: the handle
// must live until the last of them is closed, and only then be disconnected.
TEST_F(FileSystem, FileOpenedBeforeDisconnectStaysReadableUntilClosed) {
    Start();
    MakeFile("/f", "still here");
    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, m_fs->Open("/f", O_RDONLY, file, 0, 0, 0));
    hdfs_internal* handle = CHadoopConnectionTestPeer::Handle(*m_fs->m_pConnection);
    ASSERT_TRUE(m_fs->m_pConnection->Disconnect().Succeeded());
    char buffer[16] = {};
    EXPECT_EQ(10, file->Read(buffer, sizeof buffer));
    EXPECT_EQ("still here", std::string(buffer, 10));
    EXPECT_EQ(0, func_table.hdfsExists(handle, "/f"));  // not disconnected yet
    EXPECT_EQ(0, file->Close());
    // The stand-in validates handles: a disconnected one is refused, never dereferenced.
    EXPECT_EQ(EBADF, ErrnoOf([&] { return func_table.hdfsExists(handle, "/f"); }));
}

// --- Changes -----------------------------------------------------------------------------------

TEST_F(FileSystem, ChangesReachTheNamespace) {
    Start();
    ASSERT_EQ(0, m_fs->CreateDirectory("/a/b"));
    EXPECT_EQ(1, m_fs->IsDirectory("/a/b"));
    MakeFile("/a/f", "copy me");
    ASSERT_EQ(0, m_fs->CopyFile("/a/f", "/a/g"));
    EXPECT_EQ("copy me", testsupport::ReadFile(Backing("/a/g")));
    ASSERT_EQ(0, m_fs->Chmod("/a/g", 0600));
    struct stat st;
    ASSERT_EQ(0, m_fs->GetFileInfo("/a/g", &st));
    EXPECT_EQ(0100600u, st.st_mode);
    utimbuf times = {3000, 4000};
    ASSERT_EQ(0, m_fs->Utime("/a/g", &times));
    ASSERT_EQ(0, m_fs->GetFileInfo("/a/g", &st));
    EXPECT_EQ(3000, st.st_atime);
    EXPECT_EQ(4000, st.st_mtime);
    ASSERT_EQ(0, m_fs->Chown("/a/g", "alice", "staff"));
    EXPECT_EQ("alice:staff", OwnerAndGroup("/a/g"));
    // By IDs through the local names; an unknown ID changes nothing.
    ASSERT_EQ(0, m_fs->Chown("/a/f", static_cast<uid_t>(0), static_cast<gid_t>(0)));
    EXPECT_EQ("root:root", OwnerAndGroup("/a/f"));
    const uid_t unknown = 4000000000u;
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Chown("/a/g", unknown, static_cast<gid_t>(0)); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Chown("/a/g", static_cast<uid_t>(0), unknown); }));
    EXPECT_EQ("alice:staff", OwnerAndGroup("/a/g"));
    ASSERT_EQ(0, m_fs->RemoveFile("/a", 1));
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->Exists("/a"); }));
    EXPECT_EQ(EIO, ErrnoOf([&] { return m_fs->RemoveFile("/a", 1); }));
}

TEST_F(FileSystem, RenameMovesWithinTheClusterAndFailsWithoutTheEntryPoint) {
    Start();
    MakeFile("/r", "moved");
    ASSERT_EQ(0, m_fs->Rename("/r", "/s"));
    EXPECT_EQ("moved", testsupport::ReadFile(Backing("/s")));
    EXPECT_NE(0, m_fs->Exists("/r"));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Rename("/s", ""); }));
    const hdfsRename_t saved = func_table.hdfsRename;
    func_table.hdfsRename = nullptr;
    EXPECT_EQ(ENOTSUP, ErrnoOf([&] { return m_fs->Rename("/s", "/t"); }));
    func_table.hdfsRename = saved;
}

// --- Capacity and layout -----------------------------------------------------------------------

TEST_F(FileSystem, SpaceUsageAlsoWithFailingCapacityCall) {
    Start("", {{"localcluster.capacity", "1000000"}});
    unsigned long long total = 0, used = 0, free = 0;
    ASSERT_EQ(0, m_fs->GetSpaceUsage(&total, &used, &free));
    EXPECT_EQ(1000000u, total);
    EXPECT_EQ(total - used, free);
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsGetCapacity=5");
    total = 0, used = 12345, free = 777;
    EXPECT_EQ(EIO, ErrnoOf([&] { return m_fs->GetSpaceUsage(&total, &used, &free); }));
    EXPECT_EQ(static_cast<unsigned long long>(-1), total);
    EXPECT_NE(12345u, used);  // still called and stored
    EXPECT_EQ(777u, free);
}

TEST_F(FileSystem, BlockSizesAndAnAbsentEntryPoint) {
    Start();
    unsigned long long size = 0;
    ASSERT_EQ(0, m_fs->GetBlockSize(&size));
    EXPECT_EQ(134217728u, size);
    ASSERT_EQ(0, m_fs->GetBlockSizeAtPath("/", &size));
    EXPECT_EQ(134217728u, size);
    const hdfsGetDefaultBlockSizeAtPath_t saved = func_table.hdfsGetDefaultBlockSizeAtPath;
    func_table.hdfsGetDefaultBlockSizeAtPath = nullptr;  // as in libhdfs releases without it
    size = 99;
    EXPECT_EQ(ENOTSUP, ErrnoOf([&] { return m_fs->GetBlockSizeAtPath("/", &size); }));
    EXPECT_EQ(99u, size);
    func_table.hdfsGetDefaultBlockSizeAtPath = saved;
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsGetDefaultBlockSize=255");
    EXPECT_EQ(255, ErrnoOf([&] { return m_fs->GetBlockSize(&size); }));
    EXPECT_EQ(static_cast<unsigned long long>(-1), size);
}

// Without the library's own release function the host lists could only leak or be freed with the
// wrong allocator: the call is refused before anything is asked.
TEST_F(FileSystem, BlockMapOfTwoBlocksWithThreeReplicasAndWithoutFreeHosts) {
    Start();
    MakeFile("/f", std::string(2048, 'x'));
    SetXattr(Backing("/f"), "user.hdfs.blocksize", "1024");
    SetXattr(Backing("/f"), "user.hdfs.replication", "3");
    std::list<std::string> hosts = {"kept"};
    ASSERT_EQ(0, m_fs->GetBlockMap("/f", 0, 2048, hosts));
    EXPECT_EQ(
        (std::list<std::string>{"kept", "dn1.localcluster", "dn2.localcluster", "dn3.localcluster",
                                "dn1.localcluster", "dn2.localcluster", "dn3.localcluster"}),
        hosts);
    // A range without blocks; a missing path.
    hosts.clear();
    EXPECT_EQ(ENXIO, ErrnoOf([&] { return m_fs->GetBlockMap("/f", 5000, 10, hosts); }));
    EXPECT_TRUE(hosts.empty());
    EXPECT_EQ(ENOENT, ErrnoOf([&] { return m_fs->GetBlockMap("/missing", 0, 10, hosts); }));

    const hdfsFreeHosts_t saved = func_table.hdfsFreeHosts;
    func_table.hdfsFreeHosts = nullptr;
    EXPECT_EQ(ENOTSUP, ErrnoOf([&] { return m_fs->GetBlockMap("/f", 0, 1, hosts); }));
    func_table.hdfsFreeHosts = saved;
    EXPECT_TRUE(hosts.empty());
}

// --- Connection and lifetime -------------------------------------------------------------------

TEST_F(FileSystem, OperationsWithoutConnectionFailWithNotConnected) {
    Start();
    ScopedEnv faults("LOCALHDFS_FAULTS", "hdfsBuilderConnect=255");
    CHadoopFS fs;
    EXPECT_FALSE(fs.Good());
    struct stat st;
    unsigned long long a, b, c;
    std::list<std::string> hosts;
    boost::shared_ptr<CHadoopFile> file;
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.GetFileInfo("/", &st); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.Exists("/"); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.Open("/f", O_RDONLY, file, 0, 0, 0); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.CreateDirectory("/d"); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.Chown("/", uid_t(0), gid_t(0)); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.CopyFile("/a", "/b"); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.GetSpaceUsage(&a, &b, &c); }));
    EXPECT_EQ(ENOTCONN, ErrnoOf([&] { return fs.GetBlockMap("/f", 0, 1, hosts); }));
}

TEST_F(FileSystem, BadInputFailsWithInvalidArgument) {
    Start();
    std::list<std::string> hosts;
    boost::shared_ptr<CHadoopFileInfoArray> entries;
    boost::shared_ptr<CHadoopFile> file;
    hdfsFileInfo* info = nullptr;
    int count = 0;
    for (const char* path : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->GetFileInfo(path, &info); }));
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Exists(path); }));
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->ListDirectory(path, entries, count); }));
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Open(path, O_RDONLY, file, 0, 0, 0); }));
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->RemoveFile(path, 0); }));
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->CopyFile(path, "/x"); }));
        EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Chown(path, "a", "b"); }));
    }
    EXPECT_EQ(EINVAL,
              ErrnoOf([&] { return m_fs->GetFileInfo("/", static_cast<struct stat*>(nullptr)); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->Utime("/", nullptr); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->GetBlockMap("/f", -1, 10, hosts); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->GetBlockMap("/f", 0, -10, hosts); }));
    EXPECT_EQ(EINVAL, ErrnoOf([&] { return m_fs->GetSpaceUsage(nullptr, nullptr, nullptr); }));
}

TEST_F(FileSystem, DestroyingAnyObjectRemovesTheLinks) {
    Start();
    ASSERT_TRUE(CreateLibraryLinks("/opt/hadoop/lib/native:/usr/lib/jvm/lib/server").Succeeded());
    const std::string link = m_home->path() + "/libhdfs.so";
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    CHadoopFS* other = new CHadoopFS();
    m_fs.reset();  // another object is still alive
    EXPECT_NE(0, lstat(link.c_str(), &st));
    EXPECT_NE(0, lstat((m_home->path() + "/libjvm.so").c_str(), &st));
    delete other;
}
