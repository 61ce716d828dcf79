// The settings store: reading, editing, atomic replacement under concurrent writers and crashes,
// and the product directories.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "host/Log.h"
#include "host/Settings.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::set<std::string> Entries(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename());
    return names;
}

// Runs `body` in a forked child and returns its exit status (the body's return value).
int InChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Permission bits do not stop root: a check of a read-only location runs as "nobody".
int AsUnprivileged(const std::function<int()>& body) {
    return InChild([&] {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            return 99;
        return body();
    });
}

class HostSettings : public ::testing::Test {
  protected:
    std::string Get(const std::string& section, const std::string& key) {
        std::string value;
        DXPlatformInfo::getString(section, key, value);
        return value;
    }

    TempDir m_dir;
    std::string m_path = m_dir / "settings.ini";
    ScopedEnv m_settings{"HDFSAGENT_SETTINGS", m_path};
    ScopedEnv m_home{"HDFSAGENT_HOME", m_dir.path()};
    TempDir m_logDir;
    ScopedEnv m_log{"HDFSAGENT_LOG_DIR", m_logDir.path()};
};

}  // namespace

// Malformed lines are skipped and logged.
TEST_F(HostSettings, ReadsSectionsKeysTrimmedValuesAndNumbers) {
    ScopedEnv level("HDFSAGENT_DEBUGLEVEL", "0");
    g_ptrLogWriter->Reconfigure();
    std::string value = "preset";  // a missing file holds no keys
    EXPECT_FALSE(DXPlatformInfo::getString("FileSystemAgent", "sHadoopBinPath", value));
    EXPECT_EQ(value, "");
    long number = 120;
    EXPECT_FALSE(DXPlatformInfo::getNumber("FileSystemAgent", "nHadoopRestUtilWaitTime", number));
    EXPECT_EQ(number, 120);

    WriteFile(m_path,
              "; comment\n# another\n[FileSystemAgent]\n  sHadoopBinPath =  /opt/my dir/bin  \r\n"
              "nHadoopRestUtilWaitTime=300\n\n[ EventManager ]\nhdfsagent_DEBUGLEVEL=2\n"
              "empty=\n[S]\na=12x\nb=99999999999999999999\nc=\nd=-7\nno equals sign\n"
              "=value without key\n[broken\nkey=kept\n");
    EXPECT_EQ(Get("FileSystemAgent", "sHadoopBinPath"), "/opt/my dir/bin");
    int wait = 120;
    EXPECT_TRUE(DXPlatformInfo::getNumber("FileSystemAgent", "nHadoopRestUtilWaitTime", wait));
    EXPECT_EQ(wait, 300);
    EXPECT_EQ(Get("EventManager", "hdfsagent_DEBUGLEVEL"), "2");
    EXPECT_TRUE(DXPlatformInfo::getString("EventManager", "empty", value));
    EXPECT_EQ(value, "");
    EXPECT_EQ(Get("FileSystemAgent", "hdfsagent_DEBUGLEVEL"), "");  // sections are separate
    // What is not a number leaves the default.
    number = 5;
    for (const char* key : {"a", "b", "c"})
        EXPECT_FALSE(DXPlatformInfo::getNumber("S", key, number)) << key;
    EXPECT_EQ(number, 5);
    int small = 5;
    EXPECT_TRUE(DXPlatformInfo::getNumber("S", "d", small));
    EXPECT_EQ(small, -7);
    EXPECT_EQ(Get("S", "key"), "kept");
    std::string log = ReadFile(m_logDir / "hdfsagent.log");
    EXPECT_THAT(log, HasSubstr("settings line 15 is malformed and skipped: 'no equals sign'"));
    EXPECT_THAT(log, HasSubstr("settings line 16 is malformed"));
    EXPECT_THAT(log, HasSubstr("settings line 17 is malformed and skipped: '[broken'"));
    g_ptrLogWriter->Reconfigure();
}

// Written through a symbolic link, which stays a link.
TEST_F(HostSettings, WriteKeepsEveryOtherLineByteForByte) {
    const std::string real = m_dir / "real/settings.ini";
    WriteFile(real,
              "# Hadoop agent\n[FileSystemAgent]\nHDP_LIB_PATH = /a:/b ; old\n\n"
              "[EventManager]\r\nhdfsagent_DEBUGLEVEL=1\r\n",
              0640);
    ASSERT_EQ(symlink(real.c_str(), m_path.c_str()), 0);
    ASSERT_TRUE(
        DXPlatformInfo::setString("FileSystemAgent", "sJavaPath", "/usr/bin/java").Succeeded());
    EXPECT_EQ(ReadFile(real),
              "# Hadoop agent\n[FileSystemAgent]\nHDP_LIB_PATH = /a:/b ; old\n"
              "sJavaPath=/usr/bin/java\n\n[EventManager]\r\nhdfsagent_DEBUGLEVEL=1\r\n");
    ASSERT_TRUE(DXPlatformInfo::setString("FileSystemAgent", "HDP_LIB_PATH", "/c:/d").Succeeded());
    EXPECT_EQ(Get("FileSystemAgent", "HDP_LIB_PATH"), "/c:/d");
    ASSERT_TRUE(DXPlatformInfo::removeKey("FileSystemAgent", "sJavaPath").Succeeded());
    EXPECT_EQ(ReadFile(real),
              "# Hadoop agent\n[FileSystemAgent]\nHDP_LIB_PATH=/c:/d\n\n[EventManager]\r\n"
              "hdfsagent_DEBUGLEVEL=1\r\n");
    struct stat st;
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the file keeps its mode
    ASSERT_EQ(lstat(m_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(HostSettings, ValueWithLineBreakIsRejectedAndAGoodOneCreatesTheFile) {
    // A line break would smuggle a second key into the file.
    CEkError err = DXPlatformInfo::setString("S", "k", "x\n[FileSystemAgent]\nsJavaPath=/tmp/evil");
    EXPECT_EQ(err.Code(), EINVAL);
    EXPECT_THAT(err.Message(), HasSubstr("a settings value cannot hold a line break (key 'k')"));
    EXPECT_EQ(DXPlatformInfo::setString("S", "a=b", "x").Code(), EINVAL);
    EXPECT_EQ(DXPlatformInfo::setString("", "k", "x").Code(), EINVAL);
    EXPECT_EQ(DXPlatformInfo::setString("S]", "k", "x").Code(), EINVAL);
    EXPECT_FALSE(testsupport::Shell("test -e " + m_path) == 0);

    // The first good write creates the file and the section, and honours the length.
    ASSERT_TRUE(
        DXPlatformInfo::setString("EventManager", "dxhdfsutil_DEBUGLEVEL", "3", 1).Succeeded());
    ASSERT_TRUE(DXPlatformInfo::setString("FileSystemAgent", "HDP_LIB_PATH", "/lib/a:/lib/bXXX", 13)
                    .Succeeded());
    EXPECT_EQ(ReadFile(m_path),
              "[EventManager]\ndxhdfsutil_DEBUGLEVEL=3\n\n[FileSystemAgent]\nHDP_LIB_PATH=/lib/a:/"
              "lib/b\n");
    EXPECT_EQ(Entries(m_dir.path()),
              (std::set<std::string>{"settings.ini", "settings.ini.lock"}));  // no temporary left
}

// A directory nobody may create files in: first without a lock file (the lock cannot be made),
// then with a writable one (the temporary file cannot be made). Nothing is left behind either way.
// Last, a file we cannot read is not rewritten (that would drop every key in it).
TEST_F(HostSettings, WriteIntoReadOnlyDirectoryOrUnreadableFileFailsWithoutChange) {
    for (bool lockFileExists : {false, true}) {
        chmod(m_dir.path().c_str(), 0755);
        WriteFile(m_path, "[S]\nold=1\n", lockFileExists ? 0666 : 0644);
        if (lockFileExists)
            WriteFile(m_path + ".lock", "", 0666);
        chmod(m_dir.path().c_str(), 0555);
        std::set<std::string> before = Entries(m_dir.path());
        int result = AsUnprivileged([lockFileExists] {
            CEkError err = DXPlatformInfo::setString("S", "new", "2");
            if (err.Code() != EACCES)
                return 1;
            const std::string expected = lockFileExists ? "cannot create a temporary file for"
                                                        : "settings.ini.lock: Permission denied";
            const std::string text = lockFileExists ? err.AsString() : err.Message();
            return text.find(expected) == std::string::npos ? 2 : 0;
        });
        EXPECT_EQ(result, 0) << lockFileExists;
        EXPECT_EQ(Entries(m_dir.path()), before);
        EXPECT_EQ(ReadFile(m_path), "[S]\nold=1\n");
    }
    chmod(m_dir.path().c_str(), 0777);
    chmod(m_path.c_str(), 0600);
    EXPECT_EQ(AsUnprivileged([] {
                  return DXPlatformInfo::setString("S", "new", "2").Code() == EACCES ? 0 : 1;
              }),
              0);
    EXPECT_EQ(ReadFile(m_path), "[S]\nold=1\n");
}

TEST_F(HostSettings, ConcurrentWritersInTwoProcessesLoseNothing) {
    const int kWrites = 25;
    int status[2] = {-1, -1};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&, w] {
            status[w] = InChild([&] {
                for (int i = 0; i < kWrites; ++i)
                    if (DXPlatformInfo::setString("S", "ab"[w] + std::to_string(i), "v").Failed())
                        return 1;
                return 0;
            });
        });
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    auto settings = DXPlatformInfo::Parse(ReadFile(m_path));
    EXPECT_EQ(settings["S"].size(), 2u * kWrites);
    for (int i = 0; i < kWrites; ++i)
        for (const char* prefix : {"a", "b"})
            EXPECT_EQ(settings["S"][prefix + std::to_string(i)], "v") << prefix << i;
}

TEST_F(HostSettings, WriterKilledMidWriteLeavesOldOrNewFile) {
    // Every version of the file holds "first", a large value tagged with its generation and
    // "last"; a torn file would lose "last" or cut the large value.
    const std::string padding(512 * 1024, 'x');
    ASSERT_TRUE(DXPlatformInfo::setString("S", "first", "1").Succeeded());
    ASSERT_TRUE(DXPlatformInfo::setString("S", "big", "0:" + padding).Succeeded());
    ASSERT_TRUE(DXPlatformInfo::setString("S", "last", "1").Succeeded());
    std::mt19937 random(12345);
    int lastGeneration = 0;
    for (int round = 0; round < 25; ++round) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int generation = lastGeneration + 1;; ++generation)
                (void)DXPlatformInfo::setString("S", "big",
                                                std::to_string(generation) + ":" + padding);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        auto settings = DXPlatformInfo::Parse(ReadFile(m_path));
        ASSERT_EQ(settings["S"]["first"], "1") << "round " << round;
        ASSERT_EQ(settings["S"]["last"], "1") << "round " << round;
        const std::string& big = settings["S"]["big"];
        size_t colon = big.find(':');
        ASSERT_NE(colon, std::string::npos) << "round " << round;
        ASSERT_EQ(big.substr(colon + 1), padding) << "round " << round;
        int generation = std::stoi(big.substr(0, colon));
        ASSERT_GE(generation, lastGeneration);
        lastGeneration = generation;
    }
    // The next write clears temporary files that killed writers left.
    ASSERT_TRUE(DXPlatformInfo::setString("S", "first", "1").Succeeded());
    EXPECT_EQ(Entries(m_dir.path()), (std::set<std::string>{"settings.ini", "settings.ini.lock"}));
}

TEST(HostDirectories, HomeAndLogDirectory) {
    {
        ScopedEnv home = ScopedEnv::unset("HDFSAGENT_HOME");
        ScopedEnv log = ScopedEnv::unset("HDFSAGENT_LOG_DIR");
        ScopedEnv settings = ScopedEnv::unset("HDFSAGENT_SETTINGS");
        EXPECT_EQ(DXPI_Base::getHomeDirectory(), "/opt/hdfsagent");
        EXPECT_EQ(DXPI_EventManager(0, 1).getLogFilesDirectory(), "/opt/hdfsagent/log");
        EXPECT_EQ(DXPlatformInfo::GetSettingsFilePath(), "/opt/hdfsagent/settings.ini");
    }
    ScopedEnv home("HDFSAGENT_HOME", "/srv/agent//");
    EXPECT_EQ(DXPI_Base::getHomeDirectory(), "/srv/agent");
    EXPECT_EQ(DXPlatformInfo::GetSettingsFilePath(), "/srv/agent/settings.ini");
    ScopedEnv log("HDFSAGENT_LOG_DIR", "/var/log/agent");
    EXPECT_EQ(DXPI_EventManager().getLogFilesDirectory(), "/var/log/agent");
}
