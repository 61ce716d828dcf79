// A product home for the REST utility service tests: $HDFSAGENT_HOME with "dxjars" holding links
// to the built service jars and property templates, a settings file, a log directory and an
// empty configuration directory for the service's property files. The environment points at it
// for the object's lifetime; the hello check makes 60 attempts 250 ms apart (a test's own
// settings may change the number).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LocalInstall.h"
#include "support/TestSupport.h"

namespace testsupport {

class RestUtilHome {
  public:
    RestUtilHome();

    const std::string& home() const { return m_home.path(); }
    std::string dxjars() const { return m_home / "dxjars"; }
    std::string configDir() const { return m_home / "conf"; }
    std::string logDir() const { return m_home / "log"; }
    std::string serviceProperties() const { return configDir() + "/dxhadooputil.properties"; }
    std::string log4jProperties() const { return configDir() + "/dxhadooplog4j.properties"; }
    std::string path(const std::string& name) const { return m_home / name; }

    // Replaces the settings file (the wait time of 600 s first, then `text`).
    void Settings(const std::string& text) const;
    // Writes the service properties before Start (the template followed by `extraLines`), with a
    // modification time after the template's so Start keeps them.
    void ServiceProperties(const std::string& extraLines) const;

  private:
    TempDir m_home;
    std::vector<ScopedEnv> m_env;
};

// The set-up the REST service's tests share: its product home beside an activated localcluster
// installation, and no JAVA_HOME, so that the service's Java is searched for as on an edge node
// that does not set it.
class RestServiceFixture : public ::testing::Test {
  protected:
    RestServiceFixture() { install.Activate(); }

    RestUtilHome home;
    LocalInstall install;
    ScopedEnv noJavaHome = ScopedEnv::unset("JAVA_HOME");
};

// Property value `key` of a properties file ("" when absent).
std::string PropertyValue(const std::string& file, const std::string& key);
// True while a process with this pid exists (zombies included).
bool ProcessExists(pid_t pid);
// The arguments of a running process (/proc/<pid>/cmdline).
std::vector<std::string> ProcessArguments(pid_t pid);
// Live processes (zombies excluded) one of whose arguments contains `fragment`.
std::vector<pid_t> ProcessesWithArgument(const std::string& fragment);
// Waits up to `timeoutMs` until no live process has an argument containing `fragment`; the
// pids still alive at the end (empty when all ended in time).
std::vector<pid_t> WaitUntilNoProcessWithArgument(const std::string& fragment, int timeoutMs);

}  // namespace testsupport
