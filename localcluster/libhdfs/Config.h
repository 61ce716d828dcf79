// The Hadoop configuration as the stand-in reads it: $HADOOP_CONF_DIR/core-site.xml, then
// hdfs-site.xml (Hadoop's XML format; a later file overrides an earlier one unless the earlier
// property is marked <final>true</final>), plus per-connection overrides from the builder.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace localhdfs {

// Keys the stand-in reads.
inline constexpr const char* kDefaultFsKey = "fs.defaultFS";
inline constexpr const char* kDefaultFsOldKey = "fs.default.name";
inline constexpr const char* kAuthenticationKey = "hadoop.security.authentication";
inline constexpr const char* kBlockSizeKey = "dfs.blocksize";
inline constexpr const char* kReplicationKey = "dfs.replication";
inline constexpr const char* kUmaskKey = "fs.permissions.umask-mode";
inline constexpr const char* kNamespaceRootKey = "localcluster.namespace.root";
inline constexpr const char* kCapacityKey = "localcluster.capacity";
inline constexpr const char* kDataNodeHostsKey = "localcluster.datanode.hosts";
inline constexpr const char* kNameNodeHostsKey = "localcluster.namenode.hosts";

inline constexpr int64_t kDefaultBlockSize = 134217728;
inline constexpr int kDefaultReplication = 3;

class Config {
  public:
    // Loads from $HADOOP_CONF_DIR. With the variable unset or empty, or without the files, the
    // configuration is empty and Load succeeds. A file that exists but cannot be parsed makes it
    // fail with `error` set.
    bool Load(std::string& error);
    bool LoadDirectory(const std::string& directory, std::string& error);

    // Sets a value for this configuration only (overrides site files, final or not).
    void Set(const std::string& key, const std::string& value);

    // The value with ${...} references expanded (other keys, env.NAME, user.name, user.home,
    // java.io.tmpdir); nullopt when the key is absent.
    std::optional<std::string> Get(const std::string& key) const;

    // Integer lookups. Missing key: `value` untouched, true. Unparsable or out of range: false
    // with `error` set. GetInt accepts decimal and 0x-hex; GetLongBytes also the size suffixes
    // k, m, g, t, p, e (any case), as Hadoop's getLongBytes does.
    bool GetInt(const std::string& key, int32_t& value, std::string& error) const;
    bool GetLongBytes(const std::string& key, int64_t& value, std::string& error) const;

    // The configuration directory ($HADOOP_CONF_DIR), empty when unset.
    const std::string& Directory() const { return m_directory; }

  private:
    struct Entry {
        std::string value;
        bool final = false;
    };
    bool LoadFile(const std::string& path, std::string& error);
    std::optional<std::string> Raw(const std::string& key) const;
    std::string Expand(const std::string& value) const;

    std::map<std::string, Entry> m_entries;
    std::string m_directory;
};

// The login user's name as Hadoop sees it without Kerberos: $HADOOP_USER_NAME, else the name of the
// process's real user ID (its number when it has no name).
std::string LoginUserName();

}  // namespace localhdfs
