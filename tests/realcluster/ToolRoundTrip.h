// The hdfsagent tool's round trip against a real HDFS (MiniDFSCluster through the real libhdfs),
// shared by the plain and the Kerberos test: backup, a change, an incremental backup, restore into
// a new tree, verify; then the restored tree is compared with the source attribute by attribute
// (content checksum, mode, owner, group, size, block size, replication, modification times to the
// second) by a lister that reads the cluster with Hadoop's own client.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "hadoop/HadoopFS.h"
#include "support/HdfsagentTool.h"
#include "support/RealCluster.h"
#include "support/RealClusterLibrary.h"

namespace realcluster_test {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testsupport::RealCluster;
using testsupport::RealClusterLibrary;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::WriteFile;
using testsupport::WriteScript;

inline std::string Pattern(size_t size, int seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) + i / 4096) & 0xff);
    return data;
}

using testsupport::Trace;

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class RealToolRoundTrip : public ::testing::Test {
  protected:
    // The library in this process first (it re-executes the test), then the tool's world. The
    // tool runs as on an edge node: the cluster's client installation first on PATH, the
    // product home's settings naming the real libhdfs and the JDK.
    void Start(const RealCluster& cluster, const std::string& keytab = "") {
        m_cluster = &cluster;
        m_library = std::make_unique<RealClusterLibrary>(cluster);
        m_world = std::make_unique<ToolWorld>(HDFSAGENT_TOOL_PATH);
        ToolWorld& world = *m_world;
        m_env = cluster.Environment();
        m_env["HDFSAGENT_HOME"] = world.home();
        m_env["LD_LIBRARY_PATH"] = world.home();
        std::string settings = "[FileSystemAgent]\nHDP_LIB_PATH=" + cluster.libPathSetting() +
                               "\nnHadoopRestUtilWaitTime=600\n";
        if (cluster.kerberos()) {
            settings += "sHdfsKeytabFile=" + keytab + "\n";
            // The tool's ticket caches in its own home, apart from this process's.
            std::string conf = testsupport::ReadFile(cluster.krb5Config());
            conf.insert(conf.find("[libdefaults]\n") + 14,
                        " default_ccache_name = " + world.home() + "/krb5cc_%{uid}\n");
            WriteFile(world.home() + "/krb5.conf", conf);
            m_env["KRB5_CONFIG"] = world.home() + "/krb5.conf";
            m_env["LIBHDFS_OPTS"] = "-Djava.security.krb5.conf=" + cluster.krb5Config();
        }
        WriteFile(world.home() + "/settings.ini", settings);
    }
    // Tickets the tool obtains live `seconds` only: a `kinit` first on the tool's PATH asks for
    // that life and records each run.
    void ShortTickets(int seconds) {
        const std::string bin = m_world->home() + "/short-kinit";
        // The wrapper finds the real kinit on the PATH the tool would have had.
        m_env["PATH"] = bin + ":" + m_env["PATH"];
        WriteScript(bin + "/kinit", "echo \"$*\" >> '" + KinitRecord() + "'\nPATH='" +
                                        m_cluster->Environment()["PATH"] + "'\nexec kinit -l " +
                                        std::to_string(seconds) + "s \"$@\"\n");
    }
    std::string KinitRecord() const { return m_world->home() + "/kinit-runs"; }
    size_t KinitRuns() const {
        if (!fs::exists(KinitRecord()))
            return 0;
        const std::string text = testsupport::ReadFile(KinitRecord());
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    ToolResult Tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"--namenode", m_cluster->uri(), "--user", "root"});
        const size_t kinitsBefore = KinitRuns();
        ToolResult result = m_world->Run(args, m_env, 300);
        m_mostKinitsInOneRun = std::max(m_mostKinitsInOneRun, KinitRuns() - kinitsBefore);
        return result;
    }

    // --- the source tree, written through the library in this process ---
    void Connect(const std::string& keytab = "") {
        if (!keytab.empty())
            m_library->SetSetting("FileSystemAgent", "sHdfsKeytabFile", keytab);
        CEkError err = m_library->Connect(m_cluster->uri(), "root", &m_fs);
        ASSERT_TRUE(err.Succeeded()) << err.AsString();
    }
    void Write(const std::string& path, const std::string& data, short mode,
               time_t mtime = 1700000000) {
        boost::shared_ptr<CHadoopFile> file;
        ASSERT_EQ(0, m_fs->Open(path.c_str(), O_WRONLY, file, 0, 0, 0)) << path << " " << errno;
        if (!data.empty()) {
            ASSERT_EQ(static_cast<int>(data.size()),
                      file->Write(data.data(), static_cast<unsigned int>(data.size())));
        }
        ASSERT_EQ(0, file->Close());
        ASSERT_EQ(0, m_fs->Chmod(path.c_str(), mode));
        utimbuf times = {mtime - 3600, mtime};
        ASSERT_EQ(0, m_fs->Utime(path.c_str(), &times));
    }
    void MakeDirectory(const std::string& path, short mode) {
        ASSERT_EQ(0, m_fs->CreateDirectory(path.c_str())) << path;
        ASSERT_EQ(0, m_fs->Chmod(path.c_str(), mode));
    }
    void SetDirectoryTime(const std::string& path, time_t mtime) {
        utimbuf times = {mtime, mtime};
        ASSERT_EQ(0, m_fs->Utime(path.c_str(), &times));
    }
    // Files of 0 B, 1 B and several blocks, modes 0600/0750, an owner with no local account.
    void WriteSourceTree(const std::string& src) {
        const size_t block = static_cast<size_t>(m_cluster->blockSize());
        MakeDirectory(src, 0755);
        Write(src + "/empty", "", 0644);
        Write(src + "/one", "1", 0600);
        Write(src + "/blocks", Pattern(block * 3 + 5, 1), 0750);
        MakeDirectory(src + "/dir/sub", 0750);
        Write(src + "/dir/alice.txt", "owned by a user without a local account\n", 0640);
        ASSERT_EQ(0, m_fs->Chown((src + "/dir/alice.txt").c_str(), "alice", "analysts"));
        Write(src + "/dir/sub/deep.txt", Pattern(block / 3, 2), 0600);
        ASSERT_EQ(0, m_fs->Chmod((src + "/dir").c_str(), 0750));
        SetDirectoryTime(src + "/dir/sub", 1690000000);
        SetDirectoryTime(src + "/dir", 1690000100);
    }
    // What the incremental backup must pick up: new content, a new file, a new mode.
    void ChangeSourceTree(const std::string& src) {
        ASSERT_EQ(0, m_fs->RemoveFile((src + "/one").c_str(), 0));
        Write(src + "/one", "2", 0600, 1700000500);
        Write(src + "/dir/new.txt", Pattern(m_cluster->blockSize() + 1, 3), 0644, 1700000600);
        ASSERT_EQ(0, m_fs->Chmod((src + "/blocks").c_str(), 0700));
        SetDirectoryTime(src + "/dir", 1690000200);
        SetDirectoryTime(src, 1690000300);
    }

    // A tree with a mask ACL, a default ACL, user xattrs (one binary), an owner without a local
    // account and a file over two blocks: backed up, restored and verified with ACLs on, the
    // restored tree compared attribute by attribute. `asAdmin` is the environment FsShell needs
    // to set the ACLs (a ticket cache under Kerberos).
    void AclRoundTrip(const RealCluster& cluster,
                      const std::map<std::string, std::string>& asAdmin) {
        const std::string root = TestRoot();
        const std::string src = root + "/src", dst = root + "/dst";
        MakeDirectory(src, 0750);
        MakeDirectory(src + "/shared", 0770);
        Write(src + "/shared/empty", "", 0600, 1700000000);
        Write(src + "/shared/one", "1", 0640, 1700000100);
        Write(src + "/blocks", realcluster_test::Pattern(cluster.blockSize() * 2 + 7, 1), 0644,
              1700000200);
        const std::vector<std::vector<std::string>> commands = {
            {"fs", "-setfacl", "-m", "user:bob:rwx,group::r-x,mask::r--", src + "/shared/one"},
            {"fs", "-setfacl", "-m", "default:user:bob:r-x", src + "/shared"},
            {"fs", "-setfattr", "-n", "user.color", "-v", "red", src + "/blocks"},
            {"fs", "-setfattr", "-n", "user.bin", "-v", "0sAAEC/w==", src + "/shared/empty"},
            {"fs", "-chown", "nobody-here:staff", src + "/shared/empty"},
        };
        for (const auto& command : commands)
            ASSERT_EQ(0, cluster.Hadoop(command, nullptr, asAdmin)) << command[1];
        SetDirectoryTime(src + "/shared", 1690000100);
        SetDirectoryTime(src, 1690000000);

        const std::string full = m_world->backupDir("full");
        ToolResult backup = Tool({"backup", src, full});
        ASSERT_EQ(0, backup.status) << Trace(backup);
        ToolResult restore = Tool({"restore", full, dst});
        ASSERT_EQ(0, restore.status) << Trace(restore);
        ToolResult verify = Tool({"verify", full, dst});
        EXPECT_EQ(0, verify.status) << Trace(verify);

        const std::string source = cluster.ListTree(src, {"--no-atime"}, asAdmin);
        EXPECT_NE(std::string::npos, source.find("user:bob:rwx")) << source;
        EXPECT_NE(std::string::npos, source.find("user.color")) << source;
        EXPECT_EQ(source, cluster.ListTree(dst, {"--no-atime"}, asAdmin));
    }

    // A fresh directory of this test's own in the shared cluster.
    std::string TestRoot() {
        const std::string root = "/tests/roundtrip-" + std::to_string(getpid());
        EXPECT_EQ(0, m_fs->CreateDirectory(root.c_str())) << errno;
        return root;
    }

    // backup, change, incremental backup, restore, verify: each step's outcome checked.
    void RoundTrip(const std::string& root) {
        const std::string src = root + "/src", dst = root + "/dst";
        const std::string full = m_world->backupDir("full");
        const std::string incremental = m_world->backupDir("incr");
        WriteSourceTree(src);
        SetDirectoryTime(src, 1690000000);

        ToolResult backup = Tool({"backup", "--no-acl", src, full});
        ASSERT_EQ(0, backup.status) << Trace(backup);
        EXPECT_THAT(backup.out, HasSubstr(": 5 files"));
        ChangeSourceTree(src);
        ToolResult again = Tool({"backup", "--no-acl", "--incremental", full, src, incremental});
        ASSERT_EQ(0, again.status) << Trace(again);
        EXPECT_THAT(again.out, HasSubstr(": 2 files (1.0 MiB) copied, 4 unchanged"));

        ToolResult restore = Tool({"restore", "--no-acl", incremental, dst});
        ASSERT_EQ(0, restore.status) << Trace(restore);
        EXPECT_THAT(restore.out, HasSubstr("restored 6 files"));
        ToolResult verify = Tool({"verify", "--no-acl", incremental, dst});
        EXPECT_EQ(0, verify.status) << Trace(verify);
        EXPECT_THAT(verify.out, HasSubstr("identical"));

        // Access times are left out: HDFS moves them when the backup and verify read the files.
        const std::vector<std::string> source = Lines(m_cluster->ListTree(src, {"--no-atime"}));
        const std::vector<std::string> restored = Lines(m_cluster->ListTree(dst, {"--no-atime"}));
        EXPECT_EQ(source, restored);
        EXPECT_EQ(9u, restored.size());
        for (const std::string& line : restored)
            EXPECT_THAT(line, ::testing::Not(HasSubstr("sum=-")))
                << "a file without checksum: " << line;
    }

    const RealCluster* m_cluster = nullptr;
    std::unique_ptr<RealClusterLibrary> m_library;
    std::unique_ptr<ToolWorld> m_world;
    std::map<std::string, std::string> m_env;
    CHadoopFSPtr m_fs;
    size_t m_mostKinitsInOneRun = 0;
};

}  // namespace realcluster_test
