// A temporary Hadoop client installation made of the localcluster stand-ins, for tests.
//
// Layout (everything under a fresh temporary directory, removed on destruction):
//   <root>/hadoop                 installDir()
//     bin/hadoop, hdfs, hbase, hdp-select, locate
//                                 small programs that run localcluster/bin/<name> for this
//                                 installation (real files, not links: the library resolves
//                                 links to find an installation, as it must on real machines)
//     etc/hadoop/                 confDir(): core-site.xml, hdfs-site.xml, hadoop-env.sh
//                                 (exports JAVA_HOME), the stand-ins' content files and switches
//     conf -> etc/hadoop          the older layout's configuration directory
//     etc/hbase/hbase-site.xml    hbaseConfDir()
//     share/hadoop/common/hadoop-common-3.3.6.jar, common/lib/commons-lang3-3.12.0.jar,
//     share/hadoop/hdfs/hadoop-hdfs-3.3.6.jar      (empty files for class path globbing)
//     lib/native/                 empty; AddNativeLibrary() puts links here
//   <root>/usr/bin/<program>      symbolic links to the installation's programs (linkDir())
//   <root>/namespace              namespaceRoot(): the backing directory of the HDFS namespace
//
// core-site.xml always holds fs.defaultFS (hdfs://localhost:8020),
// hadoop.security.authentication (simple) and localcluster.namespace.root; the properties given
// to the constructor or SetProperty override or add to them. Keys beginning with "dfs." go to
// hdfs-site.xml, every other key to core-site.xml.
//
// The stand-ins' switches and content files (README.md in localcluster/bin) are files in
// confDir(): write them with SetConfFile(), e.g. SetConfFile("fail-classpath", "boom\n").
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class LocalInstall {
  public:
    explicit LocalInstall(const std::map<std::string, std::string>& properties = {});
    ~LocalInstall();
    LocalInstall(const LocalInstall&) = delete;
    LocalInstall& operator=(const LocalInstall&) = delete;

    const std::string& root() const { return m_root.path(); }
    std::string installDir() const;  // <root>/hadoop, no trailing "/"
    std::string binDir() const;      // <root>/hadoop/bin
    std::string linkDir() const;     // <root>/usr/bin
    std::string confDir() const;     // <root>/hadoop/etc/hadoop
    std::string hbaseConfDir() const;
    std::string namespaceRoot() const;
    // The JDK home written into hadoop-env.sh: that of the first `java` on PATH after resolving
    // its links (the machine's real JDK), or /usr/lib/jvm/default-java.
    const std::string& javaHome() const { return m_javaHome; }

    // Sets one property (core-site.xml or hdfs-site.xml by its key) and rewrites the file.
    void SetProperty(const std::string& key, const std::string& value);
    void RemoveProperty(const std::string& key);
    // Rewrites hadoop-env.sh with `export JAVA_HOME=<javaHome>`; an empty value writes the
    // script without any exported JAVA_HOME.
    void SetJavaHome(const std::string& javaHome);
    // Adds a line to the encryption-zones file (`hdfs crypto -listZones`).
    void AddEncryptionZone(const std::string& zoneRoot, const std::string& keyName);
    // Writes the `classpath` file that `hadoop classpath` prints (entries joined with ":").
    void SetClasspath(const std::vector<std::string>& entries);
    // Writes (or with RemoveConfFile, removes) a file of confDir(): switches, hdp-version…
    void SetConfFile(const std::string& name, const std::string& content = "");
    void RemoveConfFile(const std::string& name);
    // Links installDir()/<folder>/<file name> to `library` (e.g. the libhdfs stand-in).
    void AddNativeLibrary(const std::string& library, const std::string& folder = "lib/native");

    // For the object's lifetime (or until Deactivate): puts binDir() (linkDir() when
    // throughLinks) first on PATH and sets HADOOP_CONF_DIR and HBASE_CONF_DIR.
    void Activate(bool throughLinks = false);
    void Deactivate();

  private:
    void WriteSiteFiles() const;
    void WriteEnvScript(const std::string& javaHome) const;

    TempDir m_root;
    std::string m_javaHome;
    std::map<std::string, std::string> m_properties;
    std::vector<ScopedEnv> m_env;
};

}  // namespace testsupport
