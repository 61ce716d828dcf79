// The library connected to a real cluster (support/RealCluster.h) in the test's own process, set
// up as on an edge node: a product home of the test's own on the loader's search path, the
// settings naming the cluster's libhdfs and the JDK (HDP_LIB_PATH), the cluster's client
// installation first on PATH, then CHadoopCtx::CreateHadoopFSInstance, which runs the real
// `hadoop classpath`, links libhdfs.so/libjvm.so into the home, loads the real libhdfs and starts
// its JVM.
//
// With the Kerberos cluster, LIBHDFS_OPTS names the realm's profile for the JVM
// (-Djava.security.krb5.conf) unless `startup` sets it, and KRB5_CONFIG names a copy of the realm's profile whose default
// ticket cache lies in the home, so the library's own cache (dx_krb5cc_<uid> beside the default
// one) is the test's alone.
//
// The loader reads LD_LIBRARY_PATH only at start-up, so the constructor re-executes the running
// test once (the home's name travels in an environment variable; the re-executed process removes
// the home when the test ends). Call it first in a test.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "hadoop/HadoopFS.h"
#include "host/Error.h"
#include "support/RealCluster.h"
#include "support/TestSupport.h"

namespace testsupport {

class RealClusterLibrary {
  public:
    // `startup` is added to the re-executed process's start-up environment.
    explicit RealClusterLibrary(const RealCluster& cluster,
                                const std::map<std::string, std::string>& startup = {});
    ~RealClusterLibrary();
    RealClusterLibrary(const RealClusterLibrary&) = delete;
    RealClusterLibrary& operator=(const RealClusterLibrary&) = delete;

    const std::string& home() const { return m_home; }
    // Sets a value in the home's settings store.
    void SetSetting(const std::string& section, const std::string& key, const std::string& value);
    // CreateHadoopFSInstance for name node `nameNode` and `user`.
    CEkError Connect(const std::string& nameNode, const std::string& user, CHadoopFSPtr* fs);

    // The realm profile the library and its JVM use (Kerberos cluster only).
    std::string krb5Config() const { return m_home + "/krb5.conf"; }

  private:
    void UsePrivateTicketCaches(const RealCluster& cluster);

    std::string m_home;
    std::vector<ScopedEnv> m_env;
};

}  // namespace testsupport
