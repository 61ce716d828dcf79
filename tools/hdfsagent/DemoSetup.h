// The demo's throwaway world: a temporary product home and a localcluster Hadoop installation
// with a sample namespace, laid out the way an edge node would be:
//
//   <root>/home/                 the product home (HDFSAGENT_HOME)
//     settings.ini               REST service wait time raised for a loaded machine
//     instances/1.json           the instance's configuration message: the libhdfs directory
//                                (libjvm's is left for the library to detect)
//     dxjars/                    the REST service jars and the property templates (links)
//   <root>/hadoop/               the installation (HADOOP_CONF_DIR = etc/hadoop)
//     bin/hadoop, hdfs, hbase, hdp-select
//                                two-line programs: set LOCALCLUSTER_HOME, run the stand-in
//     etc/hadoop/                core-site.xml, hdfs-site.xml, hadoop-env.sh, encryption-zones
//     lib/native/libhdfs.so      link to the libhdfs stand-in
//   <root>/namespace/            the backing directory of the HDFS namespace
//   <root>/backups/              where the demo's backups go
//   <root>/kdc/                  the throwaway realm (--kerberos)
//
// The namespace holds /demo/src: nested directories, an empty file, a large file, files with
// other owners and modes, a sticky directory, a file with an ACL and extended attributes, a
// directory with a default ACL, and an encryption zone. The zone list also names
// /demo/restored/secure, as an administrator would create the zone before restoring into it.
#pragma once

#include <map>
#include <string>

#include "Launch.h"

namespace tool {

class CDemoSetup {
  public:
    CDemoSetup() = default;
    // Unless Keep() was called: stops the KDC and removes the whole tree.
    ~CDemoSetup();
    CDemoSetup(const CDemoSetup&) = delete;
    CDemoSetup& operator=(const CDemoSetup&) = delete;

    bool Create(const LocalclusterPieces& pieces, bool kerberos, std::string& error);
    void Keep() { m_bKeep = true; }
    // What the destructor does, now.
    void Cleanup();

    const std::string& Root() const { return m_sRoot; }
    std::string Home() const { return m_sRoot + "/home"; }
    std::string InstallDir() const { return m_sRoot + "/hadoop"; }
    std::string ConfDir() const { return InstallDir() + "/etc/hadoop"; }
    std::string NamespaceRoot() const { return m_sRoot + "/namespace"; }
    std::string BackupDir() const { return m_sRoot + "/backups"; }
    const std::string& User() const { return m_sUser; }
    // The command that stops the throwaway realm's KDC ("" without one).
    std::string KdcStopCommand() const;
    // Variables every step runs with (set or, when empty, removed).
    const std::map<std::string, std::string>& Environment() const { return m_mapEnv; }

    // Changes the sample namespace as a user would between two backups: one file rewritten
    // (new size and modification time), one added.
    bool ChangeSample(std::string& error);

  private:
    bool WriteInstallation(const LocalclusterPieces& pieces, bool kerberos, std::string& error);
    bool WriteHome(const LocalclusterPieces& pieces, std::string& error);
    bool WriteSample(std::string& error);
    bool StartKdc(const LocalclusterPieces& pieces, std::string& error);

    std::string m_sRoot;
    std::string m_sUser;
    std::string m_sKdcDir;  // set while a KDC runs
    std::string m_sStopKdc;
    std::string m_sKeytab;
    std::string m_sKrb5Config;
    std::map<std::string, std::string> m_mapEnv;
    bool m_bKeep = false;
};

}  // namespace tool
