// Helpers shared by the benchmark programs: a throwaway localcluster installation (configuration
// directory and namespace root) and the start-up environment the libhdfs stand-in needs.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

namespace benchsupport {

// The dynamic loader reads LD_LIBRARY_PATH only at start-up: unless it already names `directory`
// first, sets it and re-executes this program with the same arguments (never returns then).
void ReexecWithLibraryPath(int argc, char** argv, const std::string& directory);

// The body of a benchmark program's main: parses the benchmark flags, runs `setUp` (a set-up
// that throws ends the program with status 1 and the reason, prefixed by `name`), then every
// registered benchmark. Returns the exit status.
int RunBenchmarks(int argc, char** argv, const char* name, void (*setUp)());

// A configuration directory and namespace root in a fresh temporary directory, removed with it.
// The constructor exports HADOOP_CONF_DIR and a product home inside it (HDFSAGENT_HOME,
// HDFSAGENT_SETTINGS, HDFSAGENT_LOG_DIR); fs.defaultFS is "hdfs://localhost:8020".
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

// Measures `library` against `baseline` in one loop: each iteration runs a batch of `batch` calls
// of each, alternating which goes first, so that drift of the machine's load and cache effects hit
// both alike. Reports the counters "library_ns" and "baseline_ns" (per call) and "ratio"
// (library time over baseline time), which bench/run.sh summarises.
template <typename Library, typename Baseline>
void MeasureAgainstBaseline(benchmark::State& state, int batch, Library library,
                            Baseline baseline) {
    using Clock = std::chrono::steady_clock;
    double libraryNs = 0, baselineNs = 0;
    bool libraryFirst = true;
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            const bool runLibrary = (pass == 0) == libraryFirst;
            const auto start = Clock::now();
            for (int i = 0; i < batch; ++i) {
                if (runLibrary)
                    library();
                else
                    baseline();
            }
            const double ns =
                std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            (runLibrary ? libraryNs : baselineNs) += ns;
        }
        libraryFirst = !libraryFirst;
    }
    const double calls = static_cast<double>(state.iterations()) * batch;
    state.counters["library_ns"] = libraryNs / calls;
    state.counters["baseline_ns"] = baselineNs / calls;
    state.counters["ratio"] = baselineNs > 0 ? libraryNs / baselineNs : 0;
}

}  // namespace benchsupport
