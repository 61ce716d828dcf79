// The file-system object's per-call cost against the libhdfs stand-in, each against the same
// entry point called directly through dlsym in this program (bench/run.sh prints the ratios):
//   GetFileInfo (stat form) and Exists: the refresh check and the handle reference per call;
//   CHadoopFile::Read of 1 MiB blocks and Pread: the data path;
//   cached GetUserID / GetUserName against getpwnam_r / getpwuid_r (a ratio below 1 is faster).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hadoop/HadoopBinding.h"
#include "hadoop/HadoopConnection.h"
#include "hadoop/HadoopFS.h"
#include "support/BenchSupport.h"

namespace {

constexpr unsigned int kBlock = 1u << 20;
constexpr size_t kFileSize = 16u << 20;

template <typename T>
T Symbol(void* library, const char* name) {
    void* address = dlsym(library, name);
    if (address == nullptr)
        throw std::runtime_error(std::string("dlsym failed: ") + name);
    return reinterpret_cast<T>(address);
}

// The stand-in, a connected file-system object and the entry points resolved directly.
struct Fixture {
    benchsupport::LocalCluster cluster;
    std::unique_ptr<CHadoopFS> fs;
    hdfs_internal* handle = nullptr;
    hdfsGetPathInfo_t getPathInfo = nullptr;
    hdfsFreeFileInfo_t freeFileInfo = nullptr;
    hdfsExists_t exists = nullptr;
    hdfsOpenFile_t openFile = nullptr;
    hdfsRead_t read = nullptr;
    hdfsPread_t pread = nullptr;
    hdfsSeek_t seek = nullptr;

    Fixture() {
        cluster.MakeDirectory("/dir");
        cluster.WriteFile("/dir/file", kFileSize);
        CEkError err = CHadoopFS::Init();
        if (err.Failed())
            throw std::runtime_error(err.AsString());
        fs.reset(new CHadoopFS());
        if (!fs->Good())
            throw std::runtime_error("no connection: " + fs->GetLastErrorString());
        handle = fs->m_pConnection->GetHDFS();
        void* library = dlopen("libhdfs.so", RTLD_NOW | RTLD_NOLOAD);
        if (library == nullptr)
            throw std::runtime_error("libhdfs.so is not loaded");
        getPathInfo = Symbol<hdfsGetPathInfo_t>(library, "hdfsGetPathInfo");
        freeFileInfo = Symbol<hdfsFreeFileInfo_t>(library, "hdfsFreeFileInfo");
        exists = Symbol<hdfsExists_t>(library, "hdfsExists");
        openFile = Symbol<hdfsOpenFile_t>(library, "hdfsOpenFile");
        read = Symbol<hdfsRead_t>(library, "hdfsRead");
        pread = Symbol<hdfsPread_t>(library, "hdfsPread");
        seek = Symbol<hdfsSeek_t>(library, "hdfsSeek");
    }
};

Fixture& Bench() {
    static Fixture s_fixture;
    return s_fixture;
}

void Check(bool ok, benchmark::State& state, const char* what) {
    if (!ok)
        state.SkipWithError(what);
}

void BM_GetFileInfoStat(benchmark::State& state) {
    Fixture& b = Bench();
    struct stat st;
    benchsupport::MeasureAgainstBaseline(
        state, 64, [&] { benchmark::DoNotOptimize(b.fs->GetFileInfo("/dir/file", &st)); },
        [&] {
            hdfsFileInfo* info = b.getPathInfo(b.handle, "/dir/file");
            benchmark::DoNotOptimize(info);
            b.freeFileInfo(info, 1);
        });
}
BENCHMARK(BM_GetFileInfoStat)->MinTime(1.0);

void BM_Exists(benchmark::State& state) {
    Fixture& b = Bench();
    benchsupport::MeasureAgainstBaseline(
        state, 64, [&] { benchmark::DoNotOptimize(b.fs->Exists("/dir/file")); },
        [&] { benchmark::DoNotOptimize(b.exists(b.handle, "/dir/file")); });
}
BENCHMARK(BM_Exists)->MinTime(1.0);

// Reads one 1 MiB block with `readSome` (which may return short counts), starting over at the
// beginning of the file at its end.
template <typename ReadSome, typename Rewind>
void ReadBlock(std::vector<char>& buffer, ReadSome readSome, Rewind rewind) {
    unsigned int done = 0;
    while (done < kBlock) {
        const int n = readSome(buffer.data() + done, kBlock - done);
        if (n <= 0) {
            rewind();
            continue;
        }
        done += static_cast<unsigned int>(n);
    }
}

void BM_Read1MiB(benchmark::State& state) {
    Fixture& b = Bench();
    boost::shared_ptr<CHadoopFile> file;
    Check(b.fs->Open("/dir/file", O_RDONLY, file, 0, 0, 0) == 0, state, "Open failed");
    hdfsFile direct = b.openFile(b.handle, "/dir/file", O_RDONLY, 0, 0, 0);
    Check(direct != nullptr, state, "hdfsOpenFile failed");
    std::vector<char> buffer(kBlock);
    benchsupport::MeasureAgainstBaseline(
        state, 4,
        [&] {
            ReadBlock(
                buffer, [&](char* p, unsigned int n) { return file->Read(p, n); },
                [&] { file->Seek(0); });
        },
        [&] {
            ReadBlock(
                buffer,
                [&](char* p, unsigned int n) {
                    return b.read(b.handle, direct, p, static_cast<tSize>(n));
                },
                [&] { b.seek(b.handle, direct, 0); });
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 * kBlock);
    func_table.hdfsCloseFile(b.handle, direct);
}
BENCHMARK(BM_Read1MiB)->MinTime(1.0);

void BM_Pread1MiB(benchmark::State& state) {
    Fixture& b = Bench();
    boost::shared_ptr<CHadoopFile> file;
    Check(b.fs->Open("/dir/file", O_RDONLY, file, 0, 0, 0) == 0, state, "Open failed");
    hdfsFile direct = b.openFile(b.handle, "/dir/file", O_RDONLY, 0, 0, 0);
    Check(direct != nullptr, state, "hdfsOpenFile failed");
    std::vector<char> buffer(kBlock);
    long libraryPosition = 0, basePosition = 0;
    auto next = [](long& position) {
        const long at = position;
        position = (position + kBlock) % static_cast<long>(kFileSize);
        return at;
    };
    benchsupport::MeasureAgainstBaseline(
        state, 4,
        [&] {
            const long at = next(libraryPosition);
            ReadBlock(
                buffer,
                [&](char* p, unsigned int n) {
                    return file->Pread(p, n, at + static_cast<long>(p - buffer.data()));
                },
                [] {});
        },
        [&] {
            const long at = next(basePosition);
            ReadBlock(
                buffer,
                [&](char* p, unsigned int n) {
                    return b.pread(b.handle, direct, at + (p - buffer.data()), p,
                                   static_cast<tSize>(n));
                },
                [] {});
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 * kBlock);
    func_table.hdfsCloseFile(b.handle, direct);
}
BENCHMARK(BM_Pread1MiB)->MinTime(1.0);

void BM_GetUserIDCached(benchmark::State& state) {
    Fixture& b = Bench();
    uid_t uid = 0;
    Check(b.fs->GetUserID("daemon", uid).Succeeded(), state, "GetUserID failed");
    std::vector<char> buffer(4096);
    benchsupport::MeasureAgainstBaseline(
        state, 64,
        [&] {
            CEkError err = b.fs->GetUserID("daemon", uid);
            benchmark::DoNotOptimize(err);
        },
        [&] {
            passwd entry;
            passwd* result = nullptr;
            benchmark::DoNotOptimize(
                getpwnam_r("daemon", &entry, buffer.data(), buffer.size(), &result));
        });
}
BENCHMARK(BM_GetUserIDCached)->MinTime(1.0);

void BM_GetUserNameCached(benchmark::State& state) {
    Fixture& b = Bench();
    std::string name;
    Check(b.fs->GetUserName(1, name).Succeeded(), state, "GetUserName failed");
    std::vector<char> buffer(4096);
    benchsupport::MeasureAgainstBaseline(
        state, 64,
        [&] {
            CEkError err = b.fs->GetUserName(1, name);
            benchmark::DoNotOptimize(err);
        },
        [&] {
            passwd entry;
            passwd* result = nullptr;
            benchmark::DoNotOptimize(getpwuid_r(1, &entry, buffer.data(), buffer.size(), &result));
        });
}
BENCHMARK(BM_GetUserNameCached)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    benchsupport::ReexecWithLibraryPath(argc, argv, LOCALCLUSTER_LIBHDFS_DIR);
    return benchsupport::RunBenchmarks(argc, argv, "HadoopFSBench", [] { Bench(); });
}
