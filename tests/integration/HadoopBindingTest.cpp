// CHadoopFS::Init against the three libhdfs stand-ins (full, old without the builder and
// configuration calls, broken without hdfsChmod) and without any libhdfs on the loader path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopFS.h"
#include "support/TestSupport.h"

namespace {

std::string Variant(const std::string& variant) {
    std::string dir = LOCALCLUSTER_LIBHDFS_DIR;
    return variant.empty() ? dir : dir + "/" + variant;
}

void StartWith(const std::string& libraryPath) {
    testsupport::ReexecWithEnvironment({{"LD_LIBRARY_PATH", libraryPath}});
}

bool ContainsText(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(Init, FullLibraryFillsEverySlot) {
    StartWith(Variant(""));
    ASSERT_FALSE(gbLibraryInitialized);
    CEkError err = CHadoopFS::Init();
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_TRUE(gbLibraryInitialized);
    const void* const* slots = reinterpret_cast<const void* const*>(&func_table);
    for (int slot = 0; slot < kHdfsFunctionTableSlots; ++slot)
        EXPECT_NE(nullptr, slots[slot]) << "slot " << slot;
}

TEST(Init, SecondInitAfterSuccessDoesNothing) {
    StartWith(Variant(""));
    ASSERT_TRUE(CHadoopFS::Init().Succeeded());
    // A cleared slot stays cleared: nothing is looked up again.
    const hdfsChmod_t saved = func_table.hdfsChmod;
    func_table.hdfsChmod = nullptr;
    EXPECT_TRUE(CHadoopFS::Init().Succeeded());
    EXPECT_EQ(nullptr, func_table.hdfsChmod);
    func_table.hdfsChmod = saved;
}

TEST(Init, OldLibraryWithoutBuilderStillInitialises) {
    StartWith(Variant("old"));
    CEkError err = CHadoopFS::Init();
    ASSERT_TRUE(err.Succeeded()) << err.AsString();
    EXPECT_TRUE(gbLibraryInitialized);
    EXPECT_EQ(nullptr, func_table.hdfsNewBuilder);
    EXPECT_EQ(nullptr, func_table.hdfsBuilderConnect);
    EXPECT_EQ(nullptr, func_table.hdfsBuilderSetKerbTicketCachePath);
    EXPECT_EQ(nullptr, func_table.hdfsConfGetStr);
    EXPECT_EQ(nullptr, func_table.hdfsConfGetInt);
    EXPECT_EQ(nullptr, func_table.hdfsConfStrFree);
    EXPECT_EQ(nullptr, func_table.hdfsGetDefaultBlockSizeAtPath);
    EXPECT_NE(nullptr, func_table.hdfsConnectAsUser);
    EXPECT_NE(nullptr, func_table.hdfsChmod);
}

TEST(Init, MissingRequiredEntryPointFailsAndIsRetried) {
    StartWith(Variant("nochmod"));
    CEkError err = CHadoopFS::Init();
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(ENOENT, err.Code());
    EXPECT_TRUE(ContainsText(err.AsString(), "dlsym(hdfsChmod) failed")) << err.AsString();
    EXPECT_FALSE(gbLibraryInitialized);
    // Slots resolved before the failure keep their values.
    EXPECT_NE(nullptr, func_table.hdfsUtime);
    EXPECT_EQ(nullptr, func_table.hdfsChmod);
    EXPECT_EQ(nullptr, func_table.hdfsGetDefaultBlockSize);
    // A later Init goes through the whole load again and meets the same library.
    CEkError again = CHadoopFS::Init();
    ASSERT_TRUE(again.Failed());
    EXPECT_EQ(ENOENT, again.Code());
    EXPECT_TRUE(ContainsText(again.AsString(), "dlsym(hdfsChmod) failed"));
    EXPECT_FALSE(gbLibraryInitialized);
}

TEST(Init, MissingLibraryFailsAndALaterInitLoadsIt) {
    // The loader path names a directory that is empty until the library is put there; its name
    // depends only on the process ID, which the re-executed process keeps. It exists before the
    // re-execution: the loader marks a directory it found missing at start-up and never looks
    // into it again.
    const std::string dir = "/tmp/hdfsagent-binding-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    StartWith(dir);
    CEkError err = CHadoopFS::Init();
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(ENOENT, err.Code());
    EXPECT_TRUE(ContainsText(err.AsString(), "dlopen(libhdfs.so) failed")) << err.AsString();
    EXPECT_FALSE(gbLibraryInitialized);

    const std::string link = dir + "/libhdfs.so";
    ASSERT_EQ(0, symlink((Variant("") + "/libhdfs.so").c_str(), link.c_str()));
    CEkError retried = CHadoopFS::Init();
    unlink(link.c_str());
    rmdir(dir.c_str());
    ASSERT_TRUE(retried.Succeeded()) << retried.AsString();
    EXPECT_TRUE(gbLibraryInitialized);
}

// libhdfs starts its JVM at the first connection; by then the JVM options name the realm
// profile that kinit and klist use.
TEST(Init, JvmWouldReadEtcKrb5ConfDespiteKrb5Config) {
    testsupport::ReexecWithEnvironment({{"LD_LIBRARY_PATH", Variant("")},
                                        {"KRB5_CONFIG", "/tmp/realm/krb5.conf"},
                                        {"LIBHDFS_OPTS", "-Xmx256m"}});
    ASSERT_TRUE(CHadoopFS::Init().Succeeded());
    EXPECT_STREQ("-Xmx256m -Djava.security.krb5.conf=/tmp/realm/krb5.conf", getenv("LIBHDFS_OPTS"));
}
