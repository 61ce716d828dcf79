// LOCALHDFS_FAULTS: every entry point consults it; counts, order and malformed rules.
#include <gtest/gtest.h>

#include <functional>

#include "LocalHdfsTestSupport.h"

using namespace localhdfs_test;

namespace {

// One entry point, called on a prepared cluster; true when it returned its failure value.
struct EntryPointCall {
    const char* name;
    std::function<bool(hdfsFS fs, hdfsFile reader, hdfsFile writer)> failed;
};

void PrintTo(const EntryPointCall& call, std::ostream* os) {
    *os << call.name;
}

const std::vector<EntryPointCall>& Calls() {
    static const std::vector<EntryPointCall> calls = {
        {"hdfsNewBuilder",
         [](hdfsFS, hdfsFile, hdfsFile) {
             struct hdfsBuilder* builder = hdfsNewBuilder();
             hdfsFreeBuilder(builder);
             return !builder;
         }},
        {"hdfsBuilderConnect",
         [](hdfsFS, hdfsFile, hdfsFile) {
             struct hdfsBuilder* b = hdfsNewBuilder();
             hdfsBuilderSetNameNode(b, "default");
             hdfsFS fs = hdfsBuilderConnect(b);
             if (fs)
                 hdfsDisconnect(fs);
             return !fs;
         }},
        {"hdfsConnect",
         [](hdfsFS, hdfsFile, hdfsFile) {
             hdfsFS fs = hdfsConnect("default", 0);
             if (fs)
                 hdfsDisconnect(fs);
             return !fs;
         }},
        {"hdfsConnectAsUser",
         [](hdfsFS, hdfsFile, hdfsFile) {
             hdfsFS fs = hdfsConnectAsUser("default", 0, "u");
             if (fs)
                 hdfsDisconnect(fs);
             return !fs;
         }},
        {"hdfsExists", [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsExists(fs, "/") == -1; }},
        {"hdfsGetPathInfo",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return PathInfo(fs, "/") == nullptr; }},
        {"hdfsListDirectory",
         [](hdfsFS fs, hdfsFile, hdfsFile) {
             Listing listing;
             listing.infos = hdfsListDirectory(fs, "/", &listing.count);
             return !listing.infos;
         }},
        {"hdfsCreateDirectory",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsCreateDirectory(fs, "/d") == -1; }},
        {"hdfsDelete",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsDelete(fs, "/in", 0) == -1; }},
        {"hdfsRename",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsRename(fs, "/in", "/in2") == -1; }},
        {"hdfsCopy",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsCopy(fs, "/in", fs, "/c") == -1; }},
        {"hdfsMove",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsMove(fs, "/in", fs, "/m") == -1; }},
        {"hdfsChown",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsChown(fs, "/in", "a", nullptr) == -1; }},
        {"hdfsChmod",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsChmod(fs, "/in", 0600) == -1; }},
        {"hdfsUtime",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsUtime(fs, "/in", 1, 1) == -1; }},
        {"hdfsGetCapacity",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsGetCapacity(fs) == -1; }},
        {"hdfsGetUsed", [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsGetUsed(fs) == -1; }},
        {"hdfsGetDefaultBlockSize",
         [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsGetDefaultBlockSize(fs) == -1; }},
        {"hdfsGetDefaultBlockSizeAtPath",
         [](hdfsFS fs, hdfsFile, hdfsFile) {
             return hdfsGetDefaultBlockSizeAtPath(fs, "/") == -1;
         }},
        {"hdfsGetHosts",
         [](hdfsFS fs, hdfsFile, hdfsFile) {
             char*** hosts = hdfsGetHosts(fs, "/in", 0, 1);
             if (hosts)
                 hdfsFreeHosts(hosts);
             return !hosts;
         }},
        {"hdfsOpenFile",
         [](hdfsFS fs, hdfsFile, hdfsFile) {
             hdfsFile f = hdfsOpenFile(fs, "/in", O_RDONLY, 0, 0, 0);
             if (f)
                 hdfsCloseFile(fs, f);
             return !f;
         }},
        {"hdfsCloseFile",
         [](hdfsFS fs, hdfsFile reader, hdfsFile) { return hdfsCloseFile(fs, reader) == -1; }},
        {"hdfsRead",
         [](hdfsFS fs, hdfsFile reader, hdfsFile) {
             char b[4];
             return hdfsRead(fs, reader, b, 4) == -1;
         }},
        {"hdfsPread",
         [](hdfsFS fs, hdfsFile reader, hdfsFile) {
             char b[4];
             return hdfsPread(fs, reader, 0, b, 4) == -1;
         }},
        {"hdfsWrite",
         [](hdfsFS fs, hdfsFile, hdfsFile writer) { return hdfsWrite(fs, writer, "x", 1) == -1; }},
        {"hdfsSeek",
         [](hdfsFS fs, hdfsFile reader, hdfsFile) { return hdfsSeek(fs, reader, 1) == -1; }},
        {"hdfsTell",
         [](hdfsFS fs, hdfsFile reader, hdfsFile) { return hdfsTell(fs, reader) == -1; }},
        {"hdfsFlush",
         [](hdfsFS fs, hdfsFile, hdfsFile writer) { return hdfsFlush(fs, writer) == -1; }},
        {"hdfsHFlush",
         [](hdfsFS fs, hdfsFile, hdfsFile writer) { return hdfsHFlush(fs, writer) == -1; }},
        {"hdfsHSync",
         [](hdfsFS fs, hdfsFile, hdfsFile writer) { return hdfsHSync(fs, writer) == -1; }},
        {"hdfsConfGetStr",
         [](hdfsFS, hdfsFile, hdfsFile) {
             char* value = nullptr;
             const int result = hdfsConfGetStr("fs.defaultFS", &value);
             hdfsConfStrFree(value);
             return result == 13;  // the positive errno is the failure value
         }},
        {"hdfsConfGetInt",
         [](hdfsFS, hdfsFile, hdfsFile) {
             int32_t value = 0;
             return hdfsConfGetInt("dfs.replication", &value) == 13;
         }},
        {"hdfsDisconnect", [](hdfsFS fs, hdfsFile, hdfsFile) { return hdfsDisconnect(fs) == -1; }},
    };
    return calls;
}

class EveryEntryPoint : public ConnectedTest, public ::testing::WithParamInterface<EntryPointCall> {
  protected:
    void SetUp() override {
        ConnectedTest::SetUp();
        cluster.MakeFile("/in", "abc");
        reader = hdfsOpenFile(fs, "/in", O_RDONLY, 0, 0, 0);
        writer = hdfsOpenFile(fs, "/out", O_WRONLY, 0, 0, 0);
        ASSERT_NE(reader, nullptr);
        ASSERT_NE(writer, nullptr);
    }
    void TearDown() override {
        hdfsCloseFile(fs, reader);  // a handle already released fails harmlessly with EBADF
        hdfsCloseFile(fs, writer);
        ConnectedTest::TearDown();
    }
    hdfsFile reader = nullptr;
    hdfsFile writer = nullptr;
};

}  // namespace

TEST_P(EveryEntryPoint, FailsWithTheInjectedErrnoAndWorksWithout) {
    const EntryPointCall& call = GetParam();
    {
        testsupport::ScopedEnv fault("LOCALHDFS_FAULTS",
                                     std::string("hdfsSomethingElse=5,") + call.name + "=13");
        errno = 0;
        EXPECT_TRUE(call.failed(fs, reader, writer));
        EXPECT_EQ(errno, EACCES);
        const char* cause = hdfsGetLastExceptionRootCause();
        ASSERT_NE(cause, nullptr);
        EXPECT_EQ(std::string(cause),
                  std::string("InjectedFault: ") + call.name + " failed with errno 13");
    }
    if (std::string(call.name) == "hdfsCloseFile" || std::string(call.name) == "hdfsDisconnect")
        return;  // their handle is gone after the injected failure, by contract
    EXPECT_FALSE(call.failed(fs, reader, writer)) << "errno " << errno;
}

INSTANTIATE_TEST_SUITE_P(Faults, EveryEntryPoint, ::testing::ValuesIn(Calls()),
                         [](const auto& info) { return std::string(info.param.name); });

using Faults = ConnectedTest;

TEST_F(Faults, CountLimitsTheFailures) {
    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsExists=5:2");
    EXPECT_EQ(hdfsExists(fs, "/"), -1);
    EXPECT_EQ(hdfsExists(fs, "/"), -1);
    EXPECT_EQ(hdfsExists(fs, "/"), 0);
}

TEST_F(Faults, RulesForOneEntryPointApplyInOrder) {
    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsExists=4:1,hdfsExists=5:1");
    EXPECT_FAILS_WITH(hdfsExists(fs, "/"), -1, EINTR);
    EXPECT_FAILS_WITH(hdfsExists(fs, "/"), -1, EIO);
    EXPECT_EQ(hdfsExists(fs, "/"), 0);
}

TEST_F(Faults, ChangingTheVariableRestartsTheCounts) {
    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsExists=5:1");
    EXPECT_EQ(hdfsExists(fs, "/"), -1);
    EXPECT_EQ(hdfsExists(fs, "/"), 0);
    setenv("LOCALHDFS_FAULTS", "hdfsExists=5:1,", 1);
    EXPECT_EQ(hdfsExists(fs, "/"), -1);
}

TEST_F(Faults, MalformedRulesAreIgnored) {
    testsupport::ScopedEnv fault("LOCALHDFS_FAULTS", "hdfsExists,=3,hdfsExists=x,hdfsExists=5:y");
    EXPECT_EQ(hdfsExists(fs, "/"), 0);
}
