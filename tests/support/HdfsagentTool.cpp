#include "support/HdfsagentTool.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace testsupport {

std::string Trace(const ToolResult& result) {
    return "exit " + std::to_string(result.status) + "\nstdout:\n" + result.out + "\nstderr:\n" +
           result.err;
}

bool WaitForBytes(const std::string& path) {
    for (int i = 0; i < 3000; ++i) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec) && std::filesystem::file_size(path, ec) > 0)
            return true;
        usleep(10000);
    }
    return false;
}

namespace {

void Check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error(what + ": " + strerror(errno));
}

std::string Slurp(const std::string& path) {
    return fs::exists(path) ? ReadFile(path) : std::string();
}

}  // namespace

ToolWorld::ToolWorld(std::string toolPath)
    : m_sToolPath(std::move(toolPath)),
      m_home("hdfsagent-tool-home"),
      m_backups("hdfsagent-tool-backups") {
    m_install.AddNativeLibrary(std::string(LOCALCLUSTER_LIBHDFS_DIR) + "/libhdfs.so");
    const std::string native = m_install.installDir() + "/lib/native";
    fs::create_directories(home() + "/dxjars");
    for (const char* file : {"dxhdfsutil.jar", "dxhdfsutil-nodep.jar", "dxhadooputil.properties",
                             "dxhadooplog4j.properties"})
        fs::create_symlink(std::string(LOCALCLUSTER_UTILSERVER_DIR) + "/" + file,
                           home() + "/dxjars/" + file);
    fs::create_symlink(
        std::string(HDFSAGENT_SOURCE_DIR) + "/hadoop/templates/dxhadoopnativelog4j.properties",
        home() + "/dxjars/dxhadoopnativelog4j.properties");
    WriteFile(home() + "/settings.ini", "[FileSystemAgent]\nHDP_LIB_PATH=" + native + ":" + native +
                                            "\nnHadoopRestUtilWaitTime=600\n");
}

ToolWorld::~ToolWorld() = default;

std::string ToolWorld::Backing(const std::string& hdfsPath) const {
    return m_install.namespaceRoot() + hdfsPath;
}

std::map<std::string, std::string> ToolWorld::Environment(
    const std::map<std::string, std::string>& extra) const {
    const char* path = getenv("PATH");
    std::map<std::string, std::string> env = {
        {"HDFSAGENT_HOME", home()},
        {"LD_LIBRARY_PATH", home()},
        {"PATH", m_install.binDir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
        {"HADOOP_CONF_DIR", m_install.confDir()},
        {"HBASE_CONF_DIR", m_install.hbaseConfDir()},
        {"HDFSAGENT_RESTUTIL_RETRY_MS", "250"},
        {"HDFSAGENT_SETTINGS", ""},
        {"HDFSAGENT_LOG_DIR", ""},
        {"HDFSAGENT_LOCK_DIR", ""},
        {"HADOOP_USER_NAME", ""},
        {"KRB5CCNAME", ""},
        {"LOCALHDFS_FAULTS", ""},
        {"LOCALHDFS_SHORT_READS", ""},
    };
    for (const auto& [name, value] : extra)
        env[name] = value;
    return env;
}

pid_t ToolWorld::Start(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& extra) {
    const std::string out = m_backups / ".tool-stdout";
    const std::string err = m_backups / ".tool-stderr";
    std::vector<std::string> argv = {m_sToolPath};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::map<std::string, std::string> env = Environment(extra);
    const pid_t pid = fork();
    Check(pid >= 0, "fork");
    if (pid == 0) {
        for (const auto& [name, value] : env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0)
            _exit(126);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> pointers;
        for (std::string& arg : argv)
            pointers.push_back(&arg[0]);
        pointers.push_back(nullptr);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    return pid;
}

ToolResult ToolWorld::Wait(pid_t pid, int timeoutSeconds) {
    ToolResult result;
    int status = 0;
    const time_t deadline = time(nullptr) + timeoutSeconds;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        Check(done == 0, "waitpid");
        if (time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error("hdfsagent did not finish within " +
                                     std::to_string(timeoutSeconds) + " s");
        }
        usleep(10000);
    }
    if (WIFSIGNALED(status)) {
        result.signaled = true;
        result.signal = WTERMSIG(status);
        result.status = 128 + result.signal;
    } else {
        result.status = WEXITSTATUS(status);
    }
    result.out = Slurp(m_backups / ".tool-stdout");
    result.err = Slurp(m_backups / ".tool-stderr");
    return result;
}

ToolResult ToolWorld::Run(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& extra, int timeoutSeconds) {
    return Wait(Start(args, extra), timeoutSeconds);
}

void ToolWorld::WriteHdfsFile(const std::string& hdfsPath, const std::string& content, int mode) {
    WriteFile(Backing(hdfsPath), content, mode);
    Check(chmod(Backing(hdfsPath).c_str(), static_cast<mode_t>(mode)) == 0, "chmod " + hdfsPath);
}

void ToolWorld::MakeHdfsDirectory(const std::string& hdfsPath, int mode) {
    fs::create_directories(Backing(hdfsPath));
    Check(chmod(Backing(hdfsPath).c_str(), static_cast<mode_t>(mode)) == 0, "chmod " + hdfsPath);
}

void ToolWorld::SetOwner(const std::string& hdfsPath, const std::string& owner,
                         const std::string& group) {
    const std::string path = Backing(hdfsPath);
    Check(setxattr(path.c_str(), "user.hdfs.owner", owner.data(), owner.size(), 0) == 0, "owner");
    Check(setxattr(path.c_str(), "user.hdfs.group", group.data(), group.size(), 0) == 0, "group");
}

void ToolWorld::SetAcl(const std::string& hdfsPath, const std::string& entries) {
    const std::string path = Backing(hdfsPath);
    Check(setxattr(path.c_str(), "user.hdfs.acl", entries.data(), entries.size(), 0) == 0, "acl");
}

void ToolWorld::SetHdfsXattr(const std::string& hdfsPath, const std::string& name,
                             const std::string& value) {
    const std::string path = Backing(hdfsPath);
    const std::string linuxName = "user.hdfs.x." + name;
    Check(setxattr(path.c_str(), linuxName.c_str(), value.data(), value.size(), 0) == 0, name);
}

std::string ToolWorld::BackingXattr(const std::string& hdfsPath, const std::string& name) const {
    char value[65536];
    const ssize_t n = getxattr(Backing(hdfsPath).c_str(), name.c_str(), value, sizeof value);
    return n < 0 ? std::string() : std::string(value, static_cast<size_t>(n));
}

void ToolWorld::SetTimes(const std::string& hdfsPath, time_t mtime, time_t atime) {
    struct timespec times[2] = {{atime, 0}, {mtime, 0}};
    Check(utimensat(AT_FDCWD, Backing(hdfsPath).c_str(), times, 0) == 0, "utimensat " + hdfsPath);
}

void ToolWorld::WriteSampleTree(const std::string& root, const std::string& zoneTwin) {
    MakeHdfsDirectory(root);
    WriteHdfsFile(root + "/README.txt", "sample\n");
    WriteHdfsFile(root + "/empty.dat", "");
    MakeHdfsDirectory(root + "/a/b/c");
    WriteHdfsFile(root + "/a/b/c/deep.txt", "deep\n", 0600);
    SetOwner(root + "/a/b/c/deep.txt", "bob", "analysts");
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 13);
    WriteHdfsFile(root + "/a/big.bin", big, 0640);
    MakeHdfsDirectory(root + "/shared", 01777);
    SetOwner(root + "/shared", "hdfs", "supergroup");
    WriteHdfsFile(root + "/shared/q1.csv", "quarter,revenue\nq1,42\n", 0660);
    SetOwner(root + "/shared/q1.csv", "alice", "analysts");
    SetAcl(root + "/shared/q1.csv", "user:bob:r--,group::r--,mask::rw-");
    SetHdfsXattr(root + "/shared/q1.csv", "user.color", "blue");
    SetHdfsXattr(root + "/shared/q1.csv", "trusted.blob", std::string("\x00\x01\xff", 3));
    MakeHdfsDirectory(root + "/reports", 0770);
    SetAcl(root + "/reports", "default:user:bob:r-x");
    MakeHdfsDirectory(root + "/secure", 0700);
    WriteHdfsFile(root + "/secure/secret.txt", "secret\n", 0600);
    m_install.AddEncryptionZone(root + "/secure", "key1");
    if (!zoneTwin.empty())
        m_install.AddEncryptionZone(zoneTwin + "/secure", "key1");
    // Times last, children before their directories.
    time_t when = 1709294400;
    for (const char* path :
         {"/README.txt", "/empty.dat", "/a/b/c/deep.txt", "/a/b/c", "/a/b", "/a/big.bin", "/a",
          "/shared/q1.csv", "/shared", "/reports", "/secure/secret.txt", "/secure", ""}) {
        SetTimes(root + path, when, when + 90);
        when += 3600;
    }
}

}  // namespace testsupport
