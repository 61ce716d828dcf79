#include "support/BenchSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace benchsupport {

void ReexecWithLibraryPath(int argc, char** argv, const std::string& directory) {
    const char* current = getenv("LD_LIBRARY_PATH");
    const std::string value = current != nullptr ? current : "";
    if (value == directory || value.rfind(directory + ":", 0) == 0)
        return;
    const std::string updated = value.empty() ? directory : directory + ":" + value;
    setenv("LD_LIBRARY_PATH", updated.c_str(), 1);
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);
    execv("/proc/self/exe", args.data());
    throw std::runtime_error("cannot re-execute /proc/self/exe");
}

namespace {

void WriteText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string Property(const std::string& name, const std::string& value) {
    return "<property><name>" + name + "</name><value>" + value + "</value></property>\n";
}

}  // namespace

LocalCluster::LocalCluster() {
    std::string pattern = (fs::temp_directory_path() / "hdfsagent-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_sBase = pattern;
    m_sRoot = m_sBase + "/namespace";
    m_sConfDir = m_sBase + "/conf";
    fs::create_directories(m_sRoot);
    WriteText(m_sConfDir + "/core-site.xml",
              "<configuration>\n" + Property("fs.defaultFS", "hdfs://localhost:8020") +
                  Property("hadoop.security.authentication", "simple") +
                  Property("localcluster.namespace.root", m_sRoot) + "</configuration>\n");
    WriteText(m_sConfDir + "/hdfs-site.xml", "<configuration>\n</configuration>\n");
    setenv("HADOOP_CONF_DIR", m_sConfDir.c_str(), 1);
    // A product home of its own: settings, logs and links stay inside the temporary directory.
    const std::string home = m_sBase + "/home";
    fs::create_directories(home + "/log");
    setenv("HDFSAGENT_HOME", home.c_str(), 1);
    setenv("HDFSAGENT_SETTINGS", (home + "/settings.ini").c_str(), 1);
    setenv("HDFSAGENT_LOG_DIR", (home + "/log").c_str(), 1);
}

LocalCluster::~LocalCluster() {
    std::error_code ignored;
    fs::remove_all(m_sBase, ignored);
}

void LocalCluster::WriteFile(const std::string& path, size_t size) const {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + i % 26);
    WriteText(m_sRoot + path, data);
}

void LocalCluster::MakeDirectory(const std::string& path) const {
    fs::create_directories(m_sRoot + path);
}

int RunBenchmarks(int argc, char** argv, const char* name, void (*setUp)()) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    try {
        setUp();
    } catch (const std::exception& e) {
        fprintf(stderr, "%s set-up failed: %s\n", name, e.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace benchsupport
