// Helpers shared by the test suites: temporary directories, environment overrides, running a
// test again in a fresh process with a changed start-up environment, and small file utilities.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A directory under $TMPDIR (or /tmp) that is removed with everything in it on destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "hdfsagent-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Sets (or, with unset(), removes) an environment variable for the scope and restores it after.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string& value);
    static ScopedEnv unset(const std::string& name);
    ~ScopedEnv();
    ScopedEnv(ScopedEnv&& other) noexcept;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    ScopedEnv() = default;
    std::string m_name;
    bool m_hadValue = false;
    std::string m_oldValue;
    bool m_active = false;
};

// The dynamic loader reads LD_LIBRARY_PATH (and a process reads its start-up environment) only
// when the process starts. A test that needs a different start-up environment calls this first:
// unless the running process already has exactly these variables, it re-executes the same test
// binary, filtered to the current test, with the variables added, and never returns (the
// re-executed process runs the test). In the re-executed process it returns at once.
void ReexecWithEnvironment(const std::map<std::string, std::string>& vars);

// Writes a whole file (creating parent directories), optionally with a mode.
void WriteFile(const std::string& path, const std::string& content, int mode = 0644);
std::string ReadFile(const std::string& path);
// Writes an executable /bin/sh script.
void WriteScript(const std::string& path, const std::string& body);

// Runs a shell command, returns its exit status and (optionally) its standard output.
int Shell(const std::string& command, std::string* output = nullptr);

// Counts this process's children that are zombies (for "no zombie left" assertions).
int CountZombieChildren();

}  // namespace testsupport
