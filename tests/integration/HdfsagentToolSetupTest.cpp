// The tool's set-up on an edge node that has neither the setting HDP_LIB_PATH nor a server's
// instance message: the tool is its own server, and the library detects the libraries itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "support/HdfsagentTool.h"
#include "support/TestSupport.h"

using testing::HasSubstr;
using testing::Not;
using testsupport::ToolResult;
using testsupport::ToolWorld;
using testsupport::Trace;

namespace {

std::map<std::string, std::string> Findings(const std::string& doctorJson) {
    std::map<std::string, std::string> findings;
    const nlohmann::json report = nlohmann::json::parse(doctorJson, nullptr, false);
    if (report.is_discarded() || !report.contains("findings"))
        return findings;
    for (const nlohmann::json& finding : report["findings"])
        findings[finding["check"]] = finding["value"];
    return findings;
}

}  // namespace

TEST(HdfsagentToolSetup, DoctorWithoutLibPathSettingOrInstanceMessageStopsWith1627) {
    ToolWorld world(HDFSAGENT_TOOL_PATH);
    testsupport::WriteFile(world.home() + "/settings.ini",
                           "[FileSystemAgent]\nnHadoopRestUtilWaitTime=600\n");
    ToolResult doctor = world.Run({"--json", "doctor"});
    ASSERT_EQ(0, doctor.status) << Trace(doctor);
    std::map<std::string, std::string> findings = Findings(doctor.out);
    const std::string native = world.install().installDir() + "/lib/native";
    EXPECT_EQ(native + "/  (detected on this machine)", findings["libhdfs directory"]);
    EXPECT_THAT(findings["libjvm directory"], HasSubstr("  (detected on this machine)"));
    // The detected pair is saved, so the next run reads it instead of detecting again.
    EXPECT_THAT(testsupport::ReadFile(world.home() + "/settings.ini"),
                HasSubstr("HDP_LIB_PATH=" + native));
    ToolResult again = world.Run({"--json", "doctor"});
    ASSERT_EQ(0, again.status) << Trace(again);
    EXPECT_THAT(Findings(again.out)["libhdfs directory"], HasSubstr("(setting HDP_LIB_PATH)"));
}

TEST(HdfsagentToolSetup, DetectionFailureNamesWhatWasLookedFor) {
    ToolWorld world(HDFSAGENT_TOOL_PATH);
    testsupport::WriteFile(world.home() + "/settings.ini",
                           "[FileSystemAgent]\nnHadoopRestUtilWaitTime=600\n");
    // No hadoop program on PATH, and a locate that finds nothing: no libhdfs.so anywhere.
    testsupport::WriteScript(world.backupDir("bin") + "/locate", "exit 1\n");
    ToolResult doctor =
        world.Run({"doctor"}, {{"PATH", world.backupDir("bin") + ":/usr/bin:/bin"}});
    EXPECT_EQ(1, doctor.status) << Trace(doctor);
    EXPECT_THAT(doctor.out, HasSubstr("Failed to detect libhdfs path (error 1168)"));
    EXPECT_THAT(doctor.out, Not(HasSubstr("Failed to fetch Hadoop Config from server")));
}
