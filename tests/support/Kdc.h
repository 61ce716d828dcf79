// A throwaway MIT Kerberos realm for tests (localcluster/kdc/start-kdc.sh).
//
// Two realms run for the whole test run as CTest fixtures; a test file that uses one adds a line
// to tests/properties.cmake:
//   set(HDFSAGENT_TEST_PROPERTIES_<FileName> FIXTURES_REQUIRED kdc)        // 10-hour tickets
//   set(HDFSAGENT_TEST_PROPERTIES_<FileName> FIXTURES_REQUIRED kdc_short)  // 4-second tickets
// and attaches to it:
//   testsupport::Kdc kdc = testsupport::Kdc::Fixture();   // or ShortFixture()
//   ... kinit -kt kdc.keytab() hdfs ... (KRB5_CONFIG now names the realm's krb5.conf)
// A test that needs a realm of its own (to stop the KDC, say) starts one:
//   testsupport::TempDir dir;
//   testsupport::Kdc kdc = testsupport::Kdc::Start(dir.path());  // stopped on destruction
//
// Attaching exports KRB5_CONFIG and KRB5_KDC_PROFILE (and the KDC_* variables of the env file)
// into the process environment for the object's lifetime, so kinit, klist and libkrb5 use the
// realm. Every failure to find or start the KDC throws std::runtime_error, which fails the test:
// a Kerberos test never passes because the KDC was missing.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class Kdc {
  public:
    // The realm of the CTest fixture "kdc" (tickets live 10 hours) / "kdc_short" (4 seconds).
    static Kdc Fixture();
    static Kdc ShortFixture();
    // Creates a realm under `dir` and starts its KDC (start-kdc.sh); the object stops it.
    static Kdc Start(const std::string& dir, const std::string& realm = "OWN.HDFSAGENT.TEST",
                     const std::string& maxLife = "10h");
    // Attaches to the KDC that start-kdc.sh runs in `dir` (reads dir/env).
    explicit Kdc(const std::string& dir);
    ~Kdc();
    Kdc(const Kdc&) = delete;
    Kdc& operator=(const Kdc&) = delete;

    const std::string& dir() const { return m_dir; }
    const std::string& realm() const { return Var("KDC_REALM"); }
    int port() const;
    pid_t pid() const;
    const std::string& krb5Config() const { return Var("KRB5_CONFIG"); }
    // The host name used as instance in the host principals (`hostname`).
    const std::string& hostname() const { return Var("KDC_HOSTNAME"); }
    // Keytab with the keys of every principal of the realm.
    const std::string& keytab() const { return Var("KDC_KEYTAB"); }
    // Keytab with the keys of `principal` alone ("hdfs", "nobody/<host>"; without realm).
    std::string keytabFor(const std::string& principal) const;
    // "name@REALM" and "name/<host>@REALM".
    std::string principal(const std::string& name) const;
    std::string hostPrincipal(const std::string& name) const;
    // Stops the KDC now (own realms only; a fixture's KDC belongs to the fixture).
    void Stop();

  private:
    struct Owned {};
    Kdc(const std::string& dir, Owned);
    void Attach();
    const std::string& Var(const std::string& name) const;

    std::string m_dir;
    bool m_owned = false;
    std::map<std::string, std::string> m_vars;
    std::vector<ScopedEnv> m_env;
};

}  // namespace testsupport
