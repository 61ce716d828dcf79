// Block locations: which data nodes hold the blocks of a byte range of a file.
//
// A file of size S with block size B has ceil(S / B) blocks; each block has `replication` replicas
// on the data nodes dn1.localcluster, dn2.localcluster, ... (or the names listed in
// localcluster.datanode.hosts, as many as there are).
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Errors.h"
#include "Operations.h"

namespace localhdfs {

namespace {

std::vector<std::string> DataNodes(const Instance& instance, int replication) {
    std::vector<std::string> names;
    if (std::optional<std::string> configured = instance.conf.Get(kDataNodeHostsKey)) {
        size_t start = 0;
        while (start <= configured->size() && static_cast<int>(names.size()) < replication) {
            size_t comma = configured->find(',', start);
            if (comma == std::string::npos)
                comma = configured->size();
            std::string name = configured->substr(start, comma - start);
            name.erase(0, name.find_first_not_of(" \t"));
            name.erase(name.find_last_not_of(" \t") + 1);
            if (!name.empty())
                names.push_back(name);
            start = comma + 1;
        }
        return names;
    }
    for (int i = 1; i <= replication; ++i)
        names.push_back("dn" + std::to_string(i) + ".localcluster");
    return names;
}

// Builds the NULL-terminated lists; throws std::bad_alloc with nothing left allocated.
char*** MakeHostLists(size_t blocks, const std::vector<std::string>& hosts) {
    auto** lists = static_cast<char***>(calloc(blocks + 1, sizeof(char**)));
    if (!lists)
        throw std::bad_alloc();
    for (size_t b = 0; b < blocks; ++b) {
        lists[b] = static_cast<char**>(calloc(hosts.size() + 1, sizeof(char*)));
        bool ok = lists[b] != nullptr;
        for (size_t h = 0; ok && h < hosts.size(); ++h)
            ok = (lists[b][h] = strdup(hosts[h].c_str())) != nullptr;
        if (!ok) {
            FreeHosts(lists);
            throw std::bad_alloc();
        }
    }
    return lists;
}

}  // namespace

char*** GetHosts(hdfsFS fs, const char* path, tOffset start, tOffset length) {
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !Resolve(*instance, path, entry))
        return nullptr;
    struct stat st;
    if (stat(entry.backing.c_str(), &st) != 0) {
        FailNotFound(entry.path);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(ENOENT, "java.io.FileNotFoundException: Path is not a file: " + entry.path);
        return nullptr;
    }
    if (start < 0 || length < 0) {
        FailInvalid("Invalid start or len parameter");
        return nullptr;
    }
    const int64_t blockSize = BlockSizeOf(*instance, entry.backing, st);
    const int64_t size = st.st_size;
    size_t blocks = 0;
    if (start < size && blockSize > 0) {
        // The block holding `start` is always reported, as the name node does for length 0.
        const int64_t end = length == 0 ? start + 1 : std::min<int64_t>(size, start + length);
        blocks = static_cast<size_t>((end - 1) / blockSize - start / blockSize + 1);
    }
    return MakeHostLists(blocks, DataNodes(*instance, ReplicationOf(*instance, entry.backing, st)));
}

void FreeHosts(char*** blockHosts) {
    if (!blockHosts)
        return;
    for (size_t b = 0; blockHosts[b]; ++b) {
        for (size_t h = 0; blockHosts[b][h]; ++h)
            free(blockHosts[b][h]);
        free(blockHosts[b]);
    }
    free(blockHosts);
}

}  // namespace localhdfs
