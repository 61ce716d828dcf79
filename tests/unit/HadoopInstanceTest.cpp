// Loading an instance from the server's configuration message when the message and the saved
// "HDP_LIB_PATH" name both directories (no detection runs), and the instance registry. The
// cases that need detection on the machine are integration tests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "hadoop/HadoopInstance.h"
#include "host/Settings.h"
#include "support/ErrorChecks.h"
#include "support/HadoopConnectionSupport.h"
#include "support/TestSupport.h"

using testsupport::ExpectError;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::WriteFile;

namespace {

const char kFetchFailed[] = "Failed to fetch Hadoop Config from server";

// A configuration message with one entry per argument (each a JSON object's members).
std::string Message(const std::string& entry, const std::string& second = "") {
    std::string entries = "{" + entry + "}";
    if (!second.empty())
        entries += ", {" + second + "}";
    return R"({"entries": [)" + entries + "]}";
}

class InstanceLoad : public ::testing::Test {
  protected:
    std::string Saved() const {
        std::string value;
        DXPlatformInfo::getString("FileSystemAgent", "HDP_LIB_PATH", value);
        return value;
    }
    void Save(const std::string& value) {
        m_home.SetSetting("FileSystemAgent", "HDP_LIB_PATH", value);
    }
    // Reads still work, every write fails (its lock file cannot be opened) and is logged: the
    // log shows whether Load tried to write.
    void RefuseSettingsWrites() const {
        ASSERT_EQ(0, mkdir((DXPlatformInfo::GetSettingsFilePath() + ".lock").c_str(), 0755));
    }
    bool TriedToSave() const { return m_log.Contains("Failed to set HDP_LIB_PATH with value"); }

    ProductHome m_home;
    LogCapture m_log;
    CHadoopInstance m_instance;
};

}  // namespace

TEST_F(InstanceLoad, ServerDirectoriesWinAndAreSavedEvenWhenEqual) {
    Save("/n:/j");
    RefuseSettingsWrites();
    ASSERT_TRUE(m_instance
                    .Load(Message(R"("selector": 1, "configField2": "c2", "configField4": "c4",
                                     "hadoopNativeLibPath": "/n", "jvmLibPath": "/j")"))
                    .Succeeded());
    EXPECT_TRUE(m_instance.m_bLoaded);
    EXPECT_EQ("c2", m_instance.m_sConfigField2);
    EXPECT_EQ("c4", m_instance.m_sConfigField4);
    EXPECT_EQ("/n", m_instance.m_sHadoopNativeLibPath);
    EXPECT_EQ("/j", m_instance.m_sJvmLibPath);
    // The setting was not read, so it counts as empty and the pair is written again; the
    // failed write is logged and does not fail the load.
    EXPECT_TRUE(TriedToSave());
    EXPECT_TRUE(
        m_log.Contains("Failed to set HDP_LIB_PATH with value '/n:/j' under "
                       "FileSystemAgent section of registry"));
    EXPECT_TRUE(m_log.Contains("Hadoop native lib path='/n'"));
    EXPECT_TRUE(m_log.Contains("JVM lib path='/j'"));
}

TEST_F(InstanceLoad, ServerNativeDirectoryWithSavedJavaDirectory) {
    Save("/a:/b");
    ASSERT_TRUE(
        m_instance.Load(Message(R"("selector": 1, "hadoopNativeLibPath": "/srv")")).Succeeded());
    EXPECT_EQ("/srv", m_instance.m_sHadoopNativeLibPath);
    EXPECT_EQ("/b", m_instance.m_sJvmLibPath);
    EXPECT_EQ("/srv:/b", Saved());
}

TEST_F(InstanceLoad, SavedValueIsSplitAtItsLastColonAndNotRewritten) {
    Save("x:y:z");
    RefuseSettingsWrites();
    ASSERT_TRUE(m_instance.Load(Message(R"("selector": 1)")).Succeeded());
    EXPECT_EQ("x:y", m_instance.m_sHadoopNativeLibPath);
    EXPECT_EQ("z", m_instance.m_sJvmLibPath);
    EXPECT_FALSE(TriedToSave());
}

TEST_F(InstanceLoad, FirstEntryWithSelectorOneIsUsed) {
    ASSERT_TRUE(
        m_instance
            .Load(Message(R"("selector": 0, "hadoopNativeLibPath": "/0", "jvmLibPath": "/0")",
                          R"("selector": 1, "hadoopNativeLibPath": "/1", "jvmLibPath": "/1")"))
            .Succeeded());
    EXPECT_EQ("/1", m_instance.m_sHadoopNativeLibPath);
}

TEST_F(InstanceLoad, SecondLoadReadsNothing) {
    ASSERT_TRUE(
        m_instance
            .Load(Message(R"("selector": 1, "hadoopNativeLibPath": "/n", "jvmLibPath": "/j")"))
            .Succeeded());
    EXPECT_TRUE(m_instance.Load("not a message").Succeeded());
    EXPECT_TRUE(m_instance.Load(12345).Succeeded());
    EXPECT_EQ("/n", m_instance.m_sHadoopNativeLibPath);
}

TEST_F(InstanceLoad, TextThatDoesNotParseFails) {
    ExpectError(m_instance.Load(R"({"entries": {}})"), 1627, kFetchFailed);
    EXPECT_FALSE(m_instance.m_bLoaded);
    EXPECT_TRUE(m_log.Contains("App::HadoopConfig::unserialize failed , cannot run Hadoop backup"));
    EXPECT_TRUE(m_log.Contains("Configuration message: entries: not a JSON array"));
}

TEST_F(InstanceLoad, NoEntryWithSelectorOneFails) {
    for (const std::string& text : {Message(R"("selector": 0)", R"("selector": 2)"),
                                    std::string(R"({"entries": []})"), std::string("{}")}) {
        ExpectError(m_instance.Load(text), 1627, kFetchFailed);
        EXPECT_FALSE(m_instance.m_bLoaded);
    }
    EXPECT_EQ(3, m_log.Count("Hadoop config info not found, cannot run Hadoop backup"));
}

TEST_F(InstanceLoad, MessageOfTheInstanceFromTheProductHome) {
    WriteFile(m_home.path() + "/instances/9.json",
              Message(R"("selector": 1, "hadoopNativeLibPath": "/n9", "jvmLibPath": "/j9")"));
    ASSERT_TRUE(m_instance.Load(9).Succeeded());
    EXPECT_EQ("/n9", m_instance.m_sHadoopNativeLibPath);
    EXPECT_TRUE(m_log.Contains("HadoopConfig - '{\"entries\""));
}

TEST_F(InstanceLoad, MissingInstanceMessageFailsAsUnparsable) {
    ExpectError(m_instance.Load(9), 1627, kFetchFailed);
    EXPECT_TRUE(m_log.Contains("Cannot read the configuration message of instance 9: cannot open"));
    EXPECT_TRUE(m_log.Contains("App::HadoopConfig::unserialize failed"));
}

// ---------------------------------------------------------------------------------------------
// The registry

class InstanceRegistry : public InstanceLoad {
  protected:
    void WriteInstance(unsigned long id, const std::string& nativeLibPath) {
        WriteFile(m_home.path() + "/instances/" + std::to_string(id) + ".json",
                  Message(R"("selector": 1, "jvmLibPath": "/j", "hadoopNativeLibPath": ")" +
                          nativeLibPath + "\""));
    }

    // The registry is process-wide: start every test with it empty.
    void SetUp() override { m_ctx->ReleaseHDPInstance(); }

    boost::shared_ptr<CHadoopInstanceCtx> m_ctx = CHadoopInstanceCtx::GetInstance();
};

TEST_F(InstanceRegistry, OneInstanceWhateverIdLaterCallsName) {
    EXPECT_FALSE(m_ctx->GetHDPInstance());
    WriteInstance(4, "/four");
    WriteInstance(5, "/five");
    CHadoopInstancePtr first, second;
    ASSERT_TRUE(m_ctx->CreateHDPInstance(4, &first).Succeeded());
    ASSERT_TRUE(m_ctx->CreateHDPInstance(5, &second).Succeeded());
    EXPECT_EQ(first, second);
    EXPECT_EQ("/four", second->m_sHadoopNativeLibPath);
    EXPECT_EQ(first, m_ctx->GetHDPInstance());
    EXPECT_EQ(m_ctx, CHadoopInstanceCtx::GetInstance());
}

TEST_F(InstanceRegistry, ReleaseMakesTheNextCallLoadAfresh) {
    WriteInstance(4, "/old");
    CHadoopInstancePtr first, second;
    ASSERT_TRUE(m_ctx->CreateHDPInstance(4, &first).Succeeded());
    m_ctx->ReleaseHDPInstance();
    EXPECT_FALSE(m_ctx->GetHDPInstance());
    EXPECT_EQ("/old", first->m_sHadoopNativeLibPath);  // the caller's handle keeps it alive

    WriteInstance(4, "/new");
    ASSERT_TRUE(m_ctx->CreateHDPInstance(4, &second).Succeeded());
    EXPECT_NE(first, second);
    EXPECT_EQ("/new", second->m_sHadoopNativeLibPath);
}

TEST_F(InstanceRegistry, FailedLoadHoldsNothingAndTheNextCallLoadsAgain) {
    CHadoopInstancePtr instance;
    CEkError error = m_ctx->CreateHDPInstance(4, &instance);
    ExpectError(error, 1627, kFetchFailed);
    EXPECT_GE(error.Frames().size(), 3u);  // Load(text), Load(id), CreateHDPInstance
    EXPECT_FALSE(instance);
    EXPECT_FALSE(m_ctx->GetHDPInstance());

    WriteInstance(4, "/n");
    ASSERT_TRUE(m_ctx->CreateHDPInstance(4, &instance).Succeeded());
    EXPECT_EQ("/n", instance->m_sHadoopNativeLibPath);
}

TEST_F(InstanceRegistry, TextOverloadLoadsFromTheGivenText) {
    CHadoopInstancePtr instance;
    ASSERT_TRUE(
        m_ctx
            ->CreateHDPInstance(
                99, &instance,
                Message(R"("selector": 1, "hadoopNativeLibPath": "/t", "jvmLibPath": "/j")"))
            .Succeeded());
    EXPECT_EQ("/t", instance->m_sHadoopNativeLibPath);
    ExpectError(CHadoopInstanceCtx().CreateHDPInstance(99, &instance, "{"), 1627, kFetchFailed);
    EXPECT_EQ("/t", instance->m_sHadoopNativeLibPath);  // untouched by the failed call
}
