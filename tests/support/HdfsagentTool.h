// Runs the built hdfsagent tool against a localcluster installation of its own, for the tool's
// tests.
//
// ToolWorld makes, under fresh temporary directories:
//   - a LocalInstall (the Hadoop installation and the namespace's backing directory), with the
//     libhdfs stand-in linked into lib/native;
//   - a product home: dxjars (links to the built REST service jars and the library's templates),
//     settings.ini naming the libhdfs and libjvm directories (HDP_LIB_PATH) so nothing needs
//     detecting, and a REST wait time for a loaded machine;
//   - a directory for backups.
// Run() starts the tool (the program given to the constructor) with that world's environment plus
// the caller's extra variables, collects its standard output and error and waits for it.
//
// Sample content is written straight into the backing directory, in the localcluster contract's
// layout (owners, ACL entries and HDFS extended attributes as user xattrs of the backing file).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/LocalInstall.h"
#include "support/TestSupport.h"

namespace testsupport {

struct ToolResult {
    int status = -1;  // exit status; 128 + signal when killed by one
    bool signaled = false;
    int signal = 0;
    std::string out;
    std::string err;
};

// The exit status and both streams of a run, for the message of a failed assertion.
std::string Trace(const ToolResult& result);
// Waits until `path` exists with at least one byte (a copy under way); false after 30 s.
bool WaitForBytes(const std::string& path);

class ToolWorld {
  public:
    explicit ToolWorld(std::string toolPath);
    ~ToolWorld();

    LocalInstall& install() { return m_install; }
    const std::string& home() const { return m_home.path(); }
    std::string backupDir(const std::string& name) const { return m_backups / name; }
    // The backing path of an HDFS path.
    std::string Backing(const std::string& hdfsPath) const;
    // The environment the tool runs with (plus `extra`; an empty value removes a variable).
    std::map<std::string, std::string> Environment(
        const std::map<std::string, std::string>& extra = {}) const;

    ToolResult Run(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extra = {}, int timeoutSeconds = 120);
    // Starts the tool without waiting; Wait() collects the result.
    pid_t Start(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& extra = {});
    ToolResult Wait(pid_t pid, int timeoutSeconds = 120);

    // --- sample content in the backing directory ---
    void WriteHdfsFile(const std::string& hdfsPath, const std::string& content, int mode = 0644);
    void MakeHdfsDirectory(const std::string& hdfsPath, int mode = 0755);
    void SetOwner(const std::string& hdfsPath, const std::string& owner, const std::string& group);
    void SetAcl(const std::string& hdfsPath, const std::string& entries);
    void SetHdfsXattr(const std::string& hdfsPath, const std::string& name,
                      const std::string& value);
    // A Linux xattr of the backing file; "" when absent.
    std::string BackingXattr(const std::string& hdfsPath, const std::string& name) const;
    void SetTimes(const std::string& hdfsPath, time_t mtime, time_t atime);
    // A small tree with nested directories, an empty file, other owners and modes, a sticky
    // directory, a file with ACL entries and extended attributes (one binary), a directory with
    // a default ACL, and a file in an encryption zone (the zone also declared for `zoneTwin`).
    void WriteSampleTree(const std::string& root, const std::string& zoneTwin = "");

  private:
    std::string m_sToolPath;
    TempDir m_home;
    TempDir m_backups;
    LocalInstall m_install;
    std::vector<std::string> m_zones;
};

}  // namespace testsupport
