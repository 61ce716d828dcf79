// A real HDFS (Hadoop's MiniDFSCluster, realcluster/start-cluster.sh) for the real-cluster tests.
//
// Two clusters run for the whole test run as CTest fixtures; a test file that uses one adds a
// line to tests/properties.cmake:
//   set(HDFSAGENT_TEST_PROPERTIES_<FileName> FIXTURES_REQUIRED realcluster_plain)
//   set(HDFSAGENT_TEST_PROPERTIES_<FileName> FIXTURES_REQUIRED realcluster_kerberos)
// and attaches to it:
//   testsupport::RealCluster cluster = testsupport::RealCluster::Plain();   // or Kerberos()
//   cluster.uri()          "hdfs://127.0.0.1:PORT"
//   cluster.hadoopHome()   a Hadoop client installation: bin/hadoop, bin/hdfs running Hadoop's
//                          own classes, etc/hadoop (confDir()) naming the cluster,
//                          lib/native/libhdfs.so (the real Apache libhdfs)
//   cluster.Environment()  PATH (bin first), HADOOP_CONF_DIR, JAVA_HOME (and KRB5_CONFIG)
// The Kerberos cluster's realm (a throwaway MIT KDC) has root@REALM with 10-hour tickets and
// root/short@REALM whose tickets expire after shortLifeSeconds(); both map to the HDFS user
// "root", the cluster's superuser. keytab() holds the keys of every principal of the realm,
// keytabFor() those of one.
//
// Both clusters are shared by every test of a run: a test works below a directory of its own
// (TestRoot()). Every failure to find the cluster throws std::runtime_error, which fails the
// test: a real-cluster test never passes because the cluster was missing.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class RealCluster {
  public:
    static RealCluster Plain();
    static RealCluster Kerberos();
    // Attaches to the cluster that start-cluster.sh runs in `dir` (reads dir/env).
    explicit RealCluster(const std::string& dir);

    bool kerberos() const { return m_vars.count("REALCLUSTER_REALM") != 0; }
    const std::string& uri() const { return Var("REALCLUSTER_URI"); }
    const std::string& hadoopHome() const { return Var("REALCLUSTER_HADOOP_HOME"); }
    std::string binDir() const { return hadoopHome() + "/bin"; }
    const std::string& confDir() const { return Var("REALCLUSTER_CONF_DIR"); }
    // The real libhdfs.so and the directory that holds it.
    const std::string& libhdfs() const { return Var("REALCLUSTER_LIBHDFS"); }
    std::string libhdfsDir() const;
    const std::string& javaHome() const { return Var("REALCLUSTER_JAVA_HOME"); }
    std::string libjvmDir() const { return javaHome() + "/lib/server"; }
    long blockSize() const { return std::stol(Var("REALCLUSTER_BLOCK_SIZE")); }
    // The library's link specification (HDP_LIB_PATH): "<libhdfs dir>:<libjvm dir>".
    std::string libPathSetting() const { return libhdfsDir() + ":" + libjvmDir(); }

    // --- Kerberos cluster only ---
    const std::string& krb5Config() const { return Var("REALCLUSTER_KRB5_CONFIG"); }
    const std::string& realm() const { return Var("REALCLUSTER_REALM"); }
    const std::string& keytab() const { return Var("REALCLUSTER_KEYTAB"); }
    // The keys of one principal ("root", "root/short"; without realm).
    std::string keytabFor(const std::string& principal) const;
    const std::string& principal() const { return Var("REALCLUSTER_PRINCIPAL"); }
    const std::string& shortPrincipal() const { return Var("REALCLUSTER_SHORT_PRINCIPAL"); }
    int shortLifeSeconds() const;

    // Variables a process needs to use the cluster as a client installation would: PATH with
    // binDir() first, HADOOP_CONF_DIR, JAVA_HOME, and KRB5_CONFIG for the Kerberos cluster.
    std::map<std::string, std::string> Environment() const;

    // Runs `bin/hadoop ARGS...` (each argument quoted) with Environment() and `extra`; returns
    // the exit status, standard output (and error, when `withStderr`) in *output.
    int Hadoop(const std::vector<std::string>& args, std::string* output = nullptr,
               const std::map<std::string, std::string>& extra = {}, bool withStderr = false) const;
    // One line per path below `root` with every attribute a backup keeps, paths relative to
    // `root`: "PATH TYPE MODE OWNER GROUP SIZE BLOCKSIZE REPLICATION MTIME ATIME acl=ENTRIES
    // xattr=NAME=HEX,... sum=CHECKSUM" (times in seconds, a block-size independent checksum).
    // `options` go to the lister: "--no-times", "--no-atime" (HDFS moves a file's access time
    // when it is read and its access time is older than the precision, an hour here),
    // "--no-checksum". Throws when the lister fails.
    std::string ListTree(const std::string& root, const std::vector<std::string>& options = {},
                         const std::map<std::string, std::string>& extra = {}) const;
    // A fresh, empty directory for the running test ("/tests/<suite>.<test>.<pid>"), made
    // through FsShell; returns its absolute path in the cluster.
    std::string TestRoot(const std::map<std::string, std::string>& extra = {}) const;

  private:
    const std::string& Var(const std::string& name) const;

    std::string m_dir;
    std::map<std::string, std::string> m_vars;
};

// A Kerberos ticket cache for the test's lifetime: `kinit -kt KEYTAB -c CACHE PRINCIPAL` with
// the cluster's realm profile; removed on destruction.
class KerberosTicket {
  public:
    KerberosTicket(const RealCluster& cluster, const std::string& principal,
                   const std::string& keytab);
    const std::string& cache() const { return m_cache; }

  private:
    TempDir m_dir{"hdfsagent-ticket"};
    std::string m_cache;
};

}  // namespace testsupport
