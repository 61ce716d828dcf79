// The REST utility service client: the round trip of GetACLandXattr against the same POST made
// with a bare libcurl handle; reads from several threads sharing one object against one thread;
// one batched read of many paths against as many single reads; and Start-to-ready of the real
// Java service against `java -version`.
//
// Set-up (once per process): a product home in a temporary directory with "dxjars" linking the
// built service jars and templates, a Hadoop configuration directory naming a namespace root,
// and service properties that already name that configuration directory, so Start runs no
// Hadoop command. Java is the first `java` on PATH. The pause between hello attempts is 50 ms
// (HDFSAGENT_RESTUTIL_RETRY_MS) so that Start-to-ready measures the service, not the pause.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hadoop/HadoopRestUtil.h"
#include "host/Process.h"

namespace fs = std::filesystem;
using DXHadoop::CHadoopRestUtil;

namespace {

void Write(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string JavaOnPath() {
    std::string out, err;
    if (DxProcess::system("command -v java", &out, &err) != 0 || out.empty())
        throw std::runtime_error("no java on PATH");
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

class BenchHome {
  public:
    BenchHome() {
        char templ[] = "/tmp/hdfsagent-restbench-XXXXXX";
        if (mkdtemp(templ) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_sRoot = templ;
        const std::string utilserver =
            std::string(HDFSAGENT_BINARY_DIR) + "/localcluster/utilserver";
        fs::create_directories(m_sRoot + "/dxjars");
        for (const char* name : {"dxhdfsutil.jar", "dxhdfsutil-nodep.jar",
                                 "dxhadooputil.properties", "dxhadooplog4j.properties"})
            fs::create_symlink(utilserver + "/" + name, m_sRoot + "/dxjars/" + name);
        const std::string conf = m_sRoot + "/hadoop-conf";
        Write(conf + "/core-site.xml",
              "<configuration><property><name>localcluster.namespace.root</name><value>" + m_sRoot +
                  "/namespace</value></property></configuration>\n");
        Write(conf + "/hdfs-site.xml", "<configuration></configuration>\n");
        Write(m_sRoot + "/namespace/data/a", "a");
        Write(m_sRoot + "/conf/dxhadooputil.properties",
              "util.hadoop.user=hdfs\nutil.hadoop.config=" + conf + "\n");
        Write(m_sRoot + "/settings.ini", "[FileSystemAgent]\nsJavaPath=" + JavaOnPath() + "\n");
        setenv("HDFSAGENT_HOME", m_sRoot.c_str(), 1);
        setenv("HDFSAGENT_SETTINGS", (m_sRoot + "/settings.ini").c_str(), 1);
        setenv("HDFSAGENT_LOG_DIR", (m_sRoot + "/log").c_str(), 1);
        setenv("HDFSAGENT_RESTUTIL_RETRY_MS", "50", 1);
        fs::create_directories(m_sRoot + "/log");
    }
    ~BenchHome() {
        std::error_code ec;
        fs::remove_all(m_sRoot, ec);
    }

    std::unique_ptr<CHadoopRestUtil> NewUtil() const {
        return std::make_unique<CHadoopRestUtil>("", m_sRoot, "hdfs", DXHadoop::eAppTypeHadoop,
                                                 m_sRoot + "/conf", "");
    }

  private:
    std::string m_sRoot;
};

BenchHome& Home() {
    static BenchHome s_home;
    return s_home;
}

// One started service shared by the round-trip benchmarks.
CHadoopRestUtil& StartedService() {
    static std::unique_ptr<CHadoopRestUtil> s_util = [] {
        auto util = Home().NewUtil();
        CEkError err = util->Start();
        if (err.Failed())
            throw std::runtime_error("Start failed: " + err.AsString());
        // The service's JIT compiles its request path during the first thousands of requests;
        // without this the first benchmark measures the warm-up.
        std::string response;
        for (int i = 0; i < 3000; ++i) {
            if (GetACLandXattr(util.get(), "/data/a", response).Failed())
                throw std::runtime_error("warm-up request failed");
        }
        return util;
    }();
    return *s_util;
}

size_t Collect(char* data, size_t size, size_t count, void* context) {
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
}

// The same exchange as GetACLandXattr, with nothing but libcurl: one reused easy handle, the
// same three headers, the same body.
class BareClient {
  public:
    BareClient(const std::string& url, const std::string& secret)
        : m_sUrl(url), m_sSecretHeader("X-Hdfsagent-Secret: " + secret) {
        m_pCurl = curl_easy_init();
        m_pHeaders = curl_slist_append(nullptr, "Content-Type: application/json");
        m_pHeaders = curl_slist_append(m_pHeaders, "User-Agent: curl/7.32.0");
        m_pHeaders = curl_slist_append(m_pHeaders, m_sSecretHeader.c_str());
        curl_easy_setopt(m_pCurl, CURLOPT_URL, m_sUrl.c_str());
        curl_easy_setopt(m_pCurl, CURLOPT_HTTPHEADER, m_pHeaders);
        curl_easy_setopt(m_pCurl, CURLOPT_POSTFIELDS, m_sBody.c_str());
        curl_easy_setopt(m_pCurl, CURLOPT_POSTFIELDSIZE, static_cast<long>(m_sBody.size()));
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEDATA, &m_sResponse);
        curl_easy_setopt(m_pCurl, CURLOPT_NOSIGNAL, 1L);
    }
    ~BareClient() {
        curl_slist_free_all(m_pHeaders);
        curl_easy_cleanup(m_pCurl);
    }
    bool Post() {
        m_sResponse.clear();
        long status = 0;
        return curl_easy_perform(m_pCurl) == CURLE_OK &&
               curl_easy_getinfo(m_pCurl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
               status == 200;
    }

  private:
    std::string m_sUrl;
    std::string m_sSecretHeader;
    std::string m_sBody = "{\"path\":\"/data/a\"}";
    std::string m_sResponse;
    CURL* m_pCurl;
    curl_slist* m_pHeaders;
};

void BM_GetACLandXattr(benchmark::State& state) {
    CHadoopRestUtil& util = StartedService();
    std::string response;
    for (auto _ : state) {
        if (GetACLandXattr(&util, "/data/a", response).Failed())
            state.SkipWithError("GetACLandXattr failed");
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(BM_GetACLandXattr)->Unit(benchmark::kMicrosecond);

void BM_BareCurlPost(benchmark::State& state) {
    CHadoopRestUtil& util = StartedService();
    BareClient bare(util.GetBaseUrl() + "/getacl", util.GetServiceSecret());
    for (auto _ : state) {
        if (!bare.Post())
            state.SkipWithError("bare POST failed");
    }
}
BENCHMARK(BM_BareCurlPost)->Unit(benchmark::kMicrosecond);

// Both exchanges alternately in one loop, so drift of the machine's load hits both alike; the
// counter "ratio" is library time over bare time.
void BM_RoundTripRatio(benchmark::State& state) {
    CHadoopRestUtil& util = StartedService();
    BareClient bare(util.GetBaseUrl() + "/getacl", util.GetServiceSecret());
    std::string response;
    double libraryNs = 0, bareNs = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (GetACLandXattr(&util, "/data/a", response).Failed())
            state.SkipWithError("GetACLandXattr failed");
        auto t1 = std::chrono::steady_clock::now();
        if (!bare.Post())
            state.SkipWithError("bare POST failed");
        auto t2 = std::chrono::steady_clock::now();
        libraryNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        bareNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    state.counters["library_us"] = libraryNs / 1000.0 / state.iterations();
    state.counters["bare_us"] = bareNs / 1000.0 / state.iterations();
    state.counters["ratio"] = bareNs > 0 ? libraryNs / bareNs : 0;
}
BENCHMARK(BM_RoundTripRatio)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// `total` reads of one path spread over `threads` threads that share `util`; false when one failed.
bool ReadFromThreads(CHadoopRestUtil& util, int threads, int total) {
    std::atomic<bool> ok{true};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&util, &ok, count = total / threads] {
            std::string response;
            for (int i = 0; i < count; ++i)
                if (GetACLandXattr(&util, "/data/a", response).Failed())
                    ok = false;
        });
    }
    for (std::thread& thread : pool)
        thread.join();
    return ok;
}

// The same 256 reads from N threads sharing one object and from one thread, alternately; the
// counter "ratio" is the time with N threads over the time with one (below 1: the threads'
// exchanges overlap instead of queuing).
void BM_ConcurrentReadsRatio(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    const int total = 256;
    CHadoopRestUtil& util = StartedService();
    double manyNs = 0, oneNs = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (!ReadFromThreads(util, threads, total))
            state.SkipWithError("a read from several threads failed");
        auto t1 = std::chrono::steady_clock::now();
        if (!ReadFromThreads(util, 1, total))
            state.SkipWithError("a read from one thread failed");
        auto t2 = std::chrono::steady_clock::now();
        manyNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        oneNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    const double reads = static_cast<double>(total) * static_cast<double>(state.iterations());
    state.counters["threads_us_per_read"] = manyNs / 1000.0 / reads;
    state.counters["one_us_per_read"] = oneNs / 1000.0 / reads;
    state.counters["ratio"] = oneNs > 0 ? manyNs / oneNs : 0;
}
BENCHMARK(BM_ConcurrentReadsRatio)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

// 256 paths read with GetACLandXattrBatch against 256 single GetACLandXattr reads, alternately;
// "ratio" is batch time over single-read time.
void BM_BatchReadRatio(benchmark::State& state) {
    const std::vector<std::string> paths(256, "/data/a");
    CHadoopRestUtil& util = StartedService();
    std::vector<DXHadoop::AclAndXattrAnswer> answers;
    double batchNs = 0, singleNs = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (GetACLandXattrBatch(&util, paths, answers).Failed())
            state.SkipWithError("GetACLandXattrBatch failed");
        auto t1 = std::chrono::steady_clock::now();
        if (!ReadFromThreads(util, 1, static_cast<int>(paths.size())))
            state.SkipWithError("a single read failed");
        auto t2 = std::chrono::steady_clock::now();
        batchNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        singleNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    const double reads =
        static_cast<double>(paths.size()) * static_cast<double>(state.iterations());
    state.counters["batch_us_per_path"] = batchNs / 1000.0 / reads;
    state.counters["single_us_per_path"] = singleNs / 1000.0 / reads;
    state.counters["ratio"] = singleNs > 0 ? batchNs / singleNs : 0;
}
BENCHMARK(BM_BatchReadRatio)->Unit(benchmark::kMillisecond)->Iterations(20);

// Start (free port, property files, process, hello probe) until the first successful hello.
void BM_StartToReady(benchmark::State& state) {
    Home();
    double attempts = 0;
    for (auto _ : state) {
        auto util = Home().NewUtil();
        CEkError err = util->Start();
        if (err.Failed())
            state.SkipWithError(("Start failed: " + err.AsString()).c_str());
        attempts += util->GetHelloAttempts();
        state.PauseTiming();
        CEkError stopped = util->Stop();
        (void)stopped;
        util.reset();
        state.ResumeTiming();
    }
    state.counters["hello_attempts"] = attempts / state.iterations();
}
BENCHMARK(BM_StartToReady)->Unit(benchmark::kMillisecond)->Iterations(5);

// The baseline: the JVM starting and printing its version.
void BM_JavaVersionBaseline(benchmark::State& state) {
    const std::string command = JavaOnPath() + " -version";
    for (auto _ : state) {
        std::string out, err;
        if (DxProcess::system(command, &out, &err) != 0)
            state.SkipWithError("java -version failed");
    }
}
BENCHMARK(BM_JavaVersionBaseline)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
