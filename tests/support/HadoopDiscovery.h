// Helpers for the tests of file search and installation detection: a PATH made of chosen
// programs only, a locate database over a test tree, and the library's log lines of one test.
#pragma once

#include <string>
#include <vector>

#include "support/HadoopConnectionSupport.h"
#include "support/TestSupport.h"

namespace testsupport {
namespace discovery {

// A directory of symbolic links to system programs (looked up in /usr/bin, /bin, /usr/sbin,
// /sbin), usable as the whole PATH of a test that must not see other programs (java, hadoop).
class ToolDir {
  public:
    explicit ToolDir(const std::vector<std::string>& programs);
    const std::string& path() const { return m_dir.path(); }
    // Links `name` in this directory to `target`.
    void Link(const std::string& name, const std::string& target) const;
    // Adds the localcluster `locate` wrapper, reading the database `database` (LOCATE_DB).
    void AddLocate(const std::string& database);

  private:
    TempDir m_dir{"hdfsagent-tools"};
    std::vector<ScopedEnv> m_env;
};

// Programs the library's detection commands need besides the one under test.
std::vector<std::string> ShellTools();

// Builds a plocate database of everything below `tree` (no pruning) into `database`.
void BuildLocateDatabase(const std::string& tree, const std::string& database);

// The library's log lines of the scope, as the connection tests capture them.
using testsupport::LogCapture;

// realpath(3) of an existing path.
std::string RealPath(const std::string& path);

// The machine's JDK found independently of the library: the java program's links resolved.
std::string RealJdkHome();
// Its libjvm.so directory: RealJdkHome() + "/lib/server".
std::string RealJdkLibDir();

// The saved library directories ("HDP_LIB_PATH" of the settings); "" when there is none.
std::string SavedLibPath();

}  // namespace discovery
}  // namespace testsupport
