// Helpers shared by the benchmark programs: a throwaway localcluster installation (configuration
// directory and namespace root) and the start-up environment the libhdfs stand-in needs.
#pragma once

#include <string>

namespace benchsupport {

// The dynamic loader reads LD_LIBRARY_PATH only at start-up: unless it already names `directory`
// first, sets it and re-executes this program with the same arguments (never returns then).
void ReexecWithLibraryPath(int argc, char** argv, const std::string& directory);

// A configuration directory and namespace root in a fresh temporary directory, removed with it.
// The constructor exports HADOOP_CONF_DIR; fs.defaultFS is "hdfs://localhost:8020".
class LocalCluster {
  public:
    LocalCluster();
    ~LocalCluster();
    LocalCluster(const LocalCluster&) = delete;
    LocalCluster& operator=(const LocalCluster&) = delete;

    const std::string& Root() const { return m_sRoot; }
    const std::string& ConfDir() const { return m_sConfDir; }
    // Writes a file of `size` bytes at the HDFS path `path` (directories created).
    void WriteFile(const std::string& path, size_t size) const;
    void MakeDirectory(const std::string& path) const;

  private:
    std::string m_sBase;
    std::string m_sRoot;
    std::string m_sConfDir;
};

}  // namespace benchsupport
