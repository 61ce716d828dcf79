// The shared library exports its interface and nothing of its internals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

std::vector<std::string> ExportedSymbols(bool demangle) {
    std::string out;
    std::string command = std::string("nm -D --defined-only ") + (demangle ? "-C " : "") +
                          HDFSAGENT_BINARY_DIR "/libhdfsagent.so";
    EXPECT_EQ(0, testsupport::Shell(command, &out)) << command;
    std::vector<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
        if (line.size() > 19)
            names.push_back(line.substr(19));  // "<address> <type> name"
    return names;
}

bool AnyStartsWith(const std::vector<std::string>& names, const std::string& prefix) {
    for (const auto& name : names)
        if (name.rfind(prefix, 0) == 0)
            return true;
    return false;
}

TEST(LibraryExports, InterfaceIsExported) {
    auto names = ExportedSymbols(true);
    for (const char* entry :
         {"CHadoopFS::Init()", "CreateLibraryLinks(", "g_sBaseDirectory",
          "CHadoopCtx::GetInstance()", "CHadoopFile::Read(",
          "CHadoopFileInfoArray::", "CHadoopInstanceCtx::GetInstance()",
          "CHadoopCryptoUtil::", "DXHadoop::CHadoopRestUtil::Start()", "GetHadoopCommand(",
          "AddOrUpdateFieldInConfigFile(", "Locate(", "SetClasspath("})
        EXPECT_TRUE(AnyStartsWith(names, entry)) << entry;
    // The ACL functions keep plain, undecorated names.
    auto raw = ExportedSymbols(false);
    EXPECT_THAT(raw, testing::Contains("GetACLandXattr"));
    EXPECT_THAT(raw, testing::Contains("SetACLandXattr"));
    EXPECT_THAT(raw, testing::Contains("GetACLandXattrBatch"));
}

TEST(LibraryExports, InternalsStayHidden) {
    auto names = ExportedSymbols(true);
    EXPECT_FALSE(AnyStartsWith(names, "func_table"));
    EXPECT_FALSE(AnyStartsWith(names, "gbLibraryInitialized"));
    EXPECT_FALSE(AnyStartsWith(names, "std::"));
    EXPECT_FALSE(AnyStartsWith(names, "void std::"));
    EXPECT_FALSE(AnyStartsWith(names, "boost::"));
    EXPECT_FALSE(AnyStartsWith(names, "hdfs"));
}

// The libhdfs binding, the Kerberos helpers and the configuration lookup are the library's own
// business: none of their names leaves it.
TEST(LibraryExports, BindingInternalsStayHidden) {
    auto names = ExportedSymbols(true);
    for (const char* internal :
         {"AdoptHdfsHandle", "ReleaseHdfsHandle", "HdfsFunctionTable", "kHdfsFunctionTableSlots",
          "HadoopKerberos::", "HadoopConfig::", "hdfsagent::properties::"})
        EXPECT_FALSE(AnyStartsWith(names, internal)) << internal;
}

}  // namespace
