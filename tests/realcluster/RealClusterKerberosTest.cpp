// The library against a Kerberos-secured real HDFS (MiniDFSCluster with a throwaway MIT realm):
// the cluster refuses a client without tickets, the library's own kinit from a keytab gets it in,
// and a ticket that expires while the library works is renewed by the library itself, an open
// file staying readable to its end.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/RealCluster.h"
#include "support/RealClusterLibrary.h"

using ::testing::HasSubstr;
using testsupport::KerberosTicket;
using testsupport::RealCluster;
using testsupport::RealClusterLibrary;

namespace {

std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 1000) & 0xff);
    return data;
}

class RealKerberos : public ::testing::Test {
  protected:
    // Connects as root with the keys of `principal` only: the library picks the keytab's
    // principal that names the user.
    void Connect(RealClusterLibrary& library, const std::string& principal) {
        library.SetSetting("FileSystemAgent", "sHdfsKeytabFile", m_cluster.keytabFor(principal));
        CEkError err = library.Connect(m_cluster.uri(), "root", &m_fs);
        ASSERT_TRUE(err.Succeeded()) << err.AsString();
        ASSERT_TRUE(m_fs);
        ASSERT_EQ(0, m_fs->CreateDirectory(m_root.c_str())) << errno;
    }
    std::string Path(const std::string& name) const { return m_root + "/" + name; }
    void WriteFile(const std::string& path, const std::string& data) {
        boost::shared_ptr<CHadoopFile> file;
        ASSERT_EQ(0, m_fs->Open(path.c_str(), O_WRONLY, file, 0, 0, 0)) << errno;
        ASSERT_EQ(static_cast<int>(data.size()),
                  file->Write(data.data(), static_cast<unsigned int>(data.size())));
        ASSERT_EQ(0, file->Close());
    }
    std::string Read(CHadoopFile& file, size_t length) {
        std::string data;
        char buffer[65536];
        while (data.size() < length) {
            int n = file.Read(
                buffer, static_cast<unsigned int>(std::min(sizeof buffer, length - data.size())));
            if (n <= 0)
                break;
            data.append(buffer, static_cast<size_t>(n));
        }
        return data;
    }
    time_t Expiry() const { return m_fs->m_pConnection->m_oCacheExpiryTime.ToTimeT(); }

    RealCluster m_cluster = RealCluster::Kerberos();
    std::string m_root = "/tests/krb-" + std::to_string(getpid());
    CHadoopFSPtr m_fs;
};

TEST_F(RealKerberos, TheClusterRefusesAClientWithoutTicketsAndServesOneWithThem) {
    testsupport::TempDir scratch;
    std::string output;
    EXPECT_NE(0, m_cluster.Hadoop({"fs", "-ls", "/"}, &output,
                                  {{"KRB5CCNAME", scratch / "no-such-cache"}}, true));
    EXPECT_THAT(output, HasSubstr("Client cannot authenticate via:[TOKEN, KERBEROS]"));

    KerberosTicket ticket(m_cluster, m_cluster.principal(), m_cluster.keytab());
    EXPECT_EQ(0,
              m_cluster.Hadoop({"fs", "-ls", "/"}, &output, {{"KRB5CCNAME", ticket.cache()}}, true))
        << output;
}

TEST_F(RealKerberos, TheLibraryLogsInFromTheKeytabAndWorksOnTheCluster) {
    RealClusterLibrary library(m_cluster);
    Connect(library, "root");
    EXPECT_EQ("root", m_fs->m_pConnection->m_sUser);
    EXPECT_EQ(1, m_fs->m_pConnection->m_eAuthType);

    const std::string data = Pattern(static_cast<size_t>(m_cluster.blockSize() + 1000));
    WriteFile(Path("f"), data);
    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, m_fs->Open(Path("f").c_str(), O_RDONLY, file, 0, 0, 0)) << errno;
    EXPECT_EQ(data, Read(*file, data.size() + 1));
    // The HDFS user is the principal's short name: the superuser may hand files to anyone.
    ASSERT_EQ(0, m_fs->Chown(Path("f").c_str(), "alice", "staff"));
    ASSERT_EQ(0, m_fs->Chmod(Path("f").c_str(), 0600));
}

TEST_F(RealKerberos, AnExpiredTicketIsRenewedByTheLibraryAndAnOpenFileReadsToItsEnd) {
    RealClusterLibrary library(m_cluster);
    Connect(library, "root/short");
    EXPECT_EQ(m_cluster.shortPrincipal(), m_fs->m_pConnection->m_sUser);
    const time_t firstExpiry = Expiry();
    ASSERT_GT(firstExpiry, 0);
    ASSERT_LE(firstExpiry, time(nullptr) + m_cluster.shortLifeSeconds());

    const std::string data = Pattern(static_cast<size_t>(m_cluster.blockSize() * 2 + 77));
    WriteFile(Path("f"), data);
    boost::shared_ptr<CHadoopFile> file;
    ASSERT_EQ(0, m_fs->Open(Path("f").c_str(), O_RDONLY, file, 0, 0, 0)) << errno;
    const size_t head = static_cast<size_t>(m_cluster.blockSize() / 2);
    ASSERT_EQ(data.substr(0, head), Read(*file, head));

    // Let the short ticket run out (the realm gives root/short a few seconds only).
    while (time(nullptr) <= firstExpiry)
        sleep(1);

    // The next operation finds the cache expired, obtains a new ticket and reconnects.
    hdfsFileInfo* info = nullptr;
    ASSERT_EQ(0, m_fs->GetFileInfo(Path("f").c_str(), &info)) << errno;
    m_fs->FreeFileInfo(info, 1);
    EXPECT_GT(Expiry(), firstExpiry);
    WriteFile(Path("after"), "written with the new ticket");

    // The file opened before keeps the old connection until it is closed.
    EXPECT_EQ(data.substr(head), Read(*file, data.size()));
    EXPECT_EQ(0, file->Close());
}

}  // namespace
