// Helpers for the tests of the HDFS connection, its Kerberos cache and tickets, and the
// configuration lookup: the libhdfs stand-in loaded at start-up, the library's log captured,
// a product home of the test's own, wrappers that record which programs ran, and a Kerberos
// sandbox (cache directory, keytabs the connection user can read, krb5.conf) on a test realm.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/Error.h"
#include "support/Kdc.h"
#include "support/TestSupport.h"

namespace testsupport {

// Re-runs the current test (once) with LD_LIBRARY_PATH naming the libhdfs stand-in — `variant`
// "" for the full library, "old" for the one without the builder and configuration calls — and
// with `startup` added to the start-up environment. KRB5CCNAME is part of the start-up
// environment too: empty unless `startup` names it (an empty value counts as none and is removed
// from the current environment here, so the Kerberos library does not see it). Then loads
// libhdfs through CHadoopFS::Init and returns its result.
CEkError StartWithLibhdfs(const std::string& variant = "",
                          std::map<std::string, std::string> startup = {});

// The library's log for the object's lifetime: a fresh log directory and the given level.
class LogCapture {
  public:
    explicit LogCapture(int level = 0);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() const;
    bool Contains(const std::string& text) const;
    // Number of lines that contain `text`.
    int Count(const std::string& text) const;

  private:
    TempDir m_dir;
    std::vector<ScopedEnv> m_env;
};

// A product home of the test's own (HDFSAGENT_HOME, HDFSAGENT_SETTINGS) with a settings writer.
class ProductHome {
  public:
    ProductHome();
    const std::string& path() const { return m_dir.path(); }
    void SetSetting(const std::string& section, const std::string& key, const std::string& value);

  private:
    TempDir m_dir;
    std::vector<ScopedEnv> m_env;
    std::map<std::string, std::map<std::string, std::string>> m_settings;
};

// Puts wrappers for `programs` first on PATH: each appends one line to its record file —
// the effective uid, LC_ALL (or "-") and its arguments — then runs the real program found on
// the PATH as it was.
class ProgramRecorder {
  public:
    explicit ProgramRecorder(const std::vector<std::string>& programs);
    // The recorded lines of `program` (empty when it never ran).
    std::vector<std::string> Calls(const std::string& program) const;
    const std::string& dir() const { return m_dir.path(); }

  private:
    TempDir m_dir;
    std::vector<ScopedEnv> m_env;
};

// A Kerberos sandbox on `kdc`'s realm: a world-writable (sticky) directory that holds a
// krb5.conf naming the realm with default_ccache_name in that directory (exported as
// KRB5_CONFIG, so the library's cache directory is the sandbox), and keytab copies owned by the
// user who must read them.
class KerberosSandbox {
  public:
    explicit KerberosSandbox(const Kdc& kdc);
    const std::string& dir() const { return m_dir.path(); }
    // The directory the Kerberos library reports as default cache directory.
    std::string cacheDir() const { return m_dir.path(); }
    // "<cacheDir>/dx_krb5cc_<uid>".
    std::string cachePath(uid_t uid) const;
    // A copy of the keys of `principals` (names without realm; "" = every principal of the
    // realm) in one keytab, owned by `owner` with mode 0600.
    std::string Keytab(const std::vector<std::string>& principals, uid_t owner,
                       const std::string& name = "user.keytab");

  private:
    const Kdc& m_kdc;
    TempDir m_dir;
    std::vector<ScopedEnv> m_env;
};

// Owner uid of a path (lstat); -1 when it does not exist.
long OwnerOf(const std::string& path);

}  // namespace testsupport
