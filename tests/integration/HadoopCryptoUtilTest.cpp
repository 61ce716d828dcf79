// Encryption zones through the `hdfs crypto -listZones` stand-in: nested zones, padded listings,
// headings and messages, a failing listing that is not retried, and clearing.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hadoop/HadoopCryptoUtil.h"
#include "support/HadoopConnectionSupport.h"
#include "support/LocalInstall.h"
#include "support/TestSupport.h"

using testsupport::LocalInstall;
using testsupport::LogCapture;
using testsupport::ProductHome;
using testsupport::ProgramRecorder;

class EncryptionZones : public ::testing::Test {
  protected:
    EncryptionZones() {
        m_install.Activate();
        m_recorder.reset(new ProgramRecorder({"hdfs"}));
    }
    std::string ZoneOf(const std::string& path) {
        std::string zone = "(none)";
        CEkError err = m_util.GetEncryptionZone(path, zone);
        EXPECT_TRUE(err.Succeeded()) << err.AsString();
        return zone;
    }
    size_t Listings() const { return m_recorder->Calls("hdfs").size(); }

    ProductHome m_home;
    LocalInstall m_install;
    std::unique_ptr<ProgramRecorder> m_recorder;
    CHadoopCryptoUtil m_util;
};

TEST_F(EncryptionZones, InnermostZoneOfAPaddedListingWins) {
    // The stand-in pads the root column to the longest root, as the real table does.
    m_install.AddEncryptionZone("/data", "key1");
    m_install.AddEncryptionZone("/data/secure/area", "key2");
    m_install.AddEncryptionZone("/z", "key3");
    EXPECT_EQ("/data/secure/area", ZoneOf("/data/secure/area/file"));
    EXPECT_EQ("/data/secure/area", ZoneOf("/data/secure/area"));
    EXPECT_EQ("/data", ZoneOf("/data/secure/other"));
    EXPECT_EQ("/z", ZoneOf("/z/f"));
    EXPECT_EQ("(none)", ZoneOf("/zz/f"));
    EXPECT_EQ("(none)", ZoneOf("/elsewhere"));
    EXPECT_EQ(1u, Listings());
}

TEST_F(EncryptionZones, HeadingsMessagesAndLinesWithoutSeparatorAddNothing) {
    m_install.SetConfFile("output-crypto",
                          "Encryption zones:\n\n/nosep key\n/real  realkey\nWARN  /x  y\n");
    EXPECT_EQ("/real", ZoneOf("/real/f"));
    EXPECT_EQ((std::set<std::string>{"/real"}), m_util.GetEncryptionZones());
}

TEST_F(EncryptionZones, FailedListingIsReportedOnceAndNotRetried) {
    m_install.AddEncryptionZone("/data", "key1");
    m_install.SetConfFile("fail-crypto", "RemoteException: not allowed\n");
    LogCapture log;
    std::string zone = "(none)";
    CEkError err = m_util.GetEncryptionZone("/data/f", zone);
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(1627, err.Code());
    EXPECT_EQ(2u, err.Frames().size());  // the listing's failure with this lookup's frame
    EXPECT_EQ("(none)", zone);
    EXPECT_TRUE(
        log.Contains("Failed to command[hdfs crypto -listZones], out[], "
                     "err[RemoteException: not allowed\n]"))
        << log.Text();
    EXPECT_TRUE(m_util.IsPopulated());

    m_install.RemoveConfFile("fail-crypto");
    EXPECT_EQ("(none)", ZoneOf("/data/f"));
    EXPECT_EQ(1u, Listings());
}

TEST_F(EncryptionZones, ClearFindsNothingUntilListedAgain) {
    m_install.AddEncryptionZone("/data", "key1");
    EXPECT_EQ("/data", ZoneOf("/data/f"));
    m_util.ClearEncryptionZones();
    EXPECT_EQ("(none)", ZoneOf("/data/f"));
    EXPECT_EQ(1u, Listings());
    ASSERT_TRUE(m_util.PopulateEncryptionZones().Succeeded());
    EXPECT_EQ("/data", ZoneOf("/data/f"));
    EXPECT_EQ(2u, Listings());
}
