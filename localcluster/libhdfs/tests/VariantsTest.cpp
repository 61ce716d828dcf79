// The three builds of the stand-in: exactly the exported entry points each should have, and the
// old build usable by the connection path that old libhdfs releases offer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "hadoop/LibHdfs.h"
#include "support/TestSupport.h"

namespace {

const std::set<std::string> kCommon = {"hdfsConnect",
                                       "hdfsConnectAsUser",
                                       "hdfsDisconnect",
                                       "hdfsExists",
                                       "hdfsGetPathInfo",
                                       "hdfsListDirectory",
                                       "hdfsFreeFileInfo",
                                       "hdfsCreateDirectory",
                                       "hdfsDelete",
                                       "hdfsCopy",
                                       "hdfsMove",
                                       "hdfsRename",
                                       "hdfsChown",
                                       "hdfsUtime",
                                       "hdfsGetCapacity",
                                       "hdfsGetUsed",
                                       "hdfsGetDefaultBlockSize",
                                       "hdfsGetHosts",
                                       "hdfsFreeHosts",
                                       "hdfsOpenFile",
                                       "hdfsCloseFile",
                                       "hdfsRead",
                                       "hdfsPread",
                                       "hdfsWrite",
                                       "hdfsSeek",
                                       "hdfsTell",
                                       "hdfsFlush",
                                       "hdfsHFlush",
                                       "hdfsHSync"};
const std::set<std::string> kNewer = {"hdfsNewBuilder",
                                      "hdfsBuilderSetNameNode",
                                      "hdfsBuilderSetNameNodePort",
                                      "hdfsBuilderSetUserName",
                                      "hdfsBuilderSetKerbTicketCachePath",
                                      "hdfsBuilderSetForceNewInstance",
                                      "hdfsBuilderConnect",
                                      "hdfsBuilderConfSetStr",
                                      "hdfsFreeBuilder",
                                      "hdfsGetDefaultBlockSizeAtPath",
                                      "hdfsConfGetStr",
                                      "hdfsConfGetInt",
                                      "hdfsConfStrFree",
                                      "hdfsFileIsEncrypted",
                                      "hdfsGetLastExceptionRootCause",
                                      "hdfsGetLastExceptionStackTrace"};

std::set<std::string> Union(std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

std::set<std::string> ExportedSymbols(const std::string& library) {
    std::string output;
    EXPECT_EQ(testsupport::Shell("nm -D --defined-only '" + library + "'", &output), 0);
    std::set<std::string> names;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        const std::string line = output.substr(start, end - start);
        start = end + 1;
        const size_t space = line.rfind(' ');
        if (space != std::string::npos)
            names.insert(line.substr(space + 1));
    }
    return names;
}

}  // namespace

TEST(Variants, FullLibraryExportsEveryEntryPointAndNothingElse) {
    EXPECT_EQ(ExportedSymbols(LOCALHDFS_FULL), Union(Union(kCommon, kNewer), {"hdfsChmod"}));
}

TEST(Variants, OldLibraryLacksTheBuilderAndConfigurationCalls) {
    const std::set<std::string> expected = Union(kCommon, {"hdfsChmod"});
    EXPECT_EQ(ExportedSymbols(LOCALHDFS_OLD), expected);
}

TEST(Variants, NoChmodLibraryLacksOnlyChmod) {
    EXPECT_EQ(ExportedSymbols(LOCALHDFS_NOCHMOD), Union(kCommon, kNewer));
}

TEST(Variants, OldLibraryConnectsAsUserAndServesTheNamespace) {
    testsupport::TempDir dir("localhdfs-old");
    testsupport::WriteFile(dir / "ns/data/f", "old");
    testsupport::WriteFile(dir / "conf/core-site.xml",
                           "<configuration><property><name>fs.defaultFS</name>"
                           "<value>hdfs://localhost:8020</value></property><property>"
                           "<name>localcluster.namespace.root</name><value>" +
                               (dir / "ns") + "</value></property></configuration>");
    testsupport::ScopedEnv conf("HADOOP_CONF_DIR", dir / "conf");

    void* library = dlopen(LOCALHDFS_OLD, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_EQ(dlsym(library, "hdfsNewBuilder"), nullptr);
    auto connect = reinterpret_cast<hdfsConnectAsUser_t>(dlsym(library, "hdfsConnectAsUser"));
    auto list = reinterpret_cast<hdfsListDirectory_t>(dlsym(library, "hdfsListDirectory"));
    auto freeInfo = reinterpret_cast<hdfsFreeFileInfo_t>(dlsym(library, "hdfsFreeFileInfo"));
    auto disconnect = reinterpret_cast<hdfsDisconnect_t>(dlsym(library, "hdfsDisconnect"));
    ASSERT_TRUE(connect && list && freeInfo && disconnect);

    hdfsFS fs = connect("default", 0, "hdfs");
    ASSERT_NE(fs, nullptr) << "errno " << errno;
    int count = 0;
    hdfsFileInfo* infos = list(fs, "/data", &count);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(infos[0].mName, "hdfs://localhost:8020/data/f");
    EXPECT_EQ(infos[0].mSize, 3);
    freeInfo(infos, count);
    EXPECT_EQ(disconnect(fs), 0);
    // Never unloaded: a library that owns threads or handles must not go away under them.
}
