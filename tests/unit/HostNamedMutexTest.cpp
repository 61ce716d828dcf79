// The named mutex: exclusion between objects of one process and between processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "host/NamedMutex.h"
#include "support/ErrorChecks.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

class HostNamedMutex : public ::testing::Test {
  protected:
    TempDir m_dir;
    ScopedEnv m_locks{"HDFSAGENT_LOCK_DIR", m_dir.path()};
    ScopedEnv m_log{"HDFSAGENT_LOG_DIR", m_dir / "log"};
};

bool ReadableWithin(int fd, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval timeout = {ms / 1000, (ms % 1000) * 1000};
    return select(fd + 1, &set, nullptr, nullptr, &timeout) > 0;
}

}  // namespace

TEST_F(HostNamedMutex, TwoObjectsInOneProcessExcludeEachOther) {
    DxNamedMutex first("CreateHadoopInstNamedMutex");
    ASSERT_TRUE(first.lock().Succeeded());
    EXPECT_TRUE(first.IsLocked());
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        DxNamedMutex second("CreateHadoopInstNamedMutex");
        if (second.lock().Succeeded())
            acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired);
    first.unlock();
    EXPECT_FALSE(first.IsLocked());
    other.join();
    EXPECT_TRUE(acquired);
}

TEST_F(HostNamedMutex, ExcludesAnotherProcessUntilDestroyed) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    auto holder = std::make_unique<DxNamedMutex>("shared");
    ASSERT_TRUE(holder->lock().Succeeded());
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        DxNamedMutex mutex("shared");
        if (mutex.lock().Failed())
            _exit(1);
        (void)!write(ready[1], "x", 1);
        _exit(0);
    }
    close(ready[1]);
    EXPECT_FALSE(ReadableWithin(ready[0], 150));  // the child waits for us
    holder.reset();                               // destroying releases the lock
    EXPECT_TRUE(ReadableWithin(ready[0], 2000));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(ready[0]);
}

TEST_F(HostNamedMutex, LockFileOfAnotherUserStillServes) {
    testsupport::WriteFile(m_dir / "shared.lock", "", 0444);
    chmod(m_dir.path().c_str(), 0755);
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            _exit(90);
        DxNamedMutex mutex("shared");
        _exit(mutex.lock().Succeeded() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(HostNamedMutex, NamesCannotLeaveTheLockDirectory) {
    DxNamedMutex mutex("../escape");
    ASSERT_TRUE(mutex.lock().Succeeded());
    EXPECT_TRUE(testsupport::Shell("test -e " + m_dir / ".._escape.lock") == 0);
}

TEST_F(HostNamedMutex, UnopenableLockFileIsAnError) {
    ScopedEnv locks("HDFSAGENT_LOCK_DIR", "/nonexistent/locks");
    DxNamedMutex mutex("x");
    CEkError err = mutex.lock();
    ExpectError(err, ENOENT,
                "cannot open lock file /nonexistent/locks/x.lock: No such file or directory");
    EXPECT_FALSE(mutex.IsLocked());
}
