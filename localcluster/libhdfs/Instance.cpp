#include "Instance.h"

#include <unistd.h>

#include <map>
#include <mutex>
#include <set>

#include "Errors.h"

namespace localhdfs {

namespace {

std::mutex g_mutex;  // guards everything below
std::set<hdfsFS> g_fileSystems;
std::set<hdfsFile> g_files;
std::map<std::string, std::weak_ptr<Instance>> g_sharedInstances;
std::set<std::string> g_leases;

// Hadoop's FileSystem.close: drops the instance from the cache and finishes the files it is
// writing (their data stays; later writes fail).
void CloseInstanceLocked(const InstancePtr& instance) {
    if (instance->closed.exchange(true))
        return;
    if (!instance->cacheKey.empty()) {
        auto it = g_sharedInstances.find(instance->cacheKey);
        if (it != g_sharedInstances.end() && it->second.lock() == instance)
            g_sharedInstances.erase(it);
    }
    for (hdfsFile file : g_files) {
        if (file->instance != instance || !file->writer || file->streamClosed)
            continue;
        if (file->fd >= 0)
            close(file->fd);
        file->fd = -1;
        file->streamClosed = true;
        g_leases.erase(file->backing);
    }
}

}  // namespace

hdfsFS RegisterFileSystem(const InstancePtr& instance) {
    auto handle = std::make_unique<hdfs_internal>();
    handle->instance = instance;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fileSystems.insert(handle.get());
    return handle.release();
}

InstancePtr OpenInstance(hdfsFS fs, NameNodeUse use) {
    if (!fs) {
        FailBadHandle("null file system handle");
        return nullptr;
    }
    InstancePtr instance;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_fileSystems.count(fs))
            instance = fs->instance;
    }
    if (!instance) {
        FailBadHandle("invalid file system handle");
        return nullptr;
    }
    if (instance->closed) {
        FailInternal("Filesystem closed");
        return nullptr;
    }
    if (use == NameNodeUse::Needed && !instance->unreachable.empty()) {
        FailInternal(instance->unreachable);
        return nullptr;
    }
    return instance;
}

bool ReleaseFileSystem(hdfsFS fs) {
    std::unique_ptr<hdfs_internal> handle;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!fs || !g_fileSystems.erase(fs)) {
        FailBadHandle(fs ? "invalid file system handle" : "null file system handle");
        return false;
    }
    handle.reset(fs);
    CloseInstanceLocked(handle->instance);
    return true;
}

void DiscardFileSystem(hdfsFS fs) {
    std::unique_ptr<hdfs_internal> handle;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!fs || !g_fileSystems.erase(fs))
        return;
    handle.reset(fs);
    CloseInstanceLocked(handle->instance);
}

InstancePtr FindSharedInstance(const std::string& key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_sharedInstances.find(key);
    if (it == g_sharedInstances.end())
        return nullptr;
    InstancePtr instance = it->second.lock();
    if (!instance || instance->closed) {
        g_sharedInstances.erase(it);
        return nullptr;
    }
    return instance;
}

void AddSharedInstance(const InstancePtr& instance) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sharedInstances[instance->cacheKey] = instance;
}

hdfsFile RegisterFile(std::unique_ptr<hdfsFile_internal> file) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_files.insert(file.get());
    return file.release();
}

bool ValidFile(hdfsFile file) {
    bool live = false;
    if (file) {
        std::lock_guard<std::mutex> lock(g_mutex);
        live = g_files.count(file) != 0;
    }
    if (!live)
        FailBadHandle(file ? "invalid file handle" : "null file handle");
    return live;
}

void DiscardFile(hdfsFile file) {
    std::unique_ptr<hdfsFile_internal> owned;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!file || !g_files.erase(file))
        return;
    owned.reset(file);
    if (owned->fd >= 0)
        close(owned->fd);
    owned->fd = -1;
    if (owned->writer && !owned->streamClosed)
        g_leases.erase(owned->backing);
}

bool AcquireLease(const std::string& backing) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_leases.insert(backing).second;
}

void ReleaseLease(const std::string& backing) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_leases.erase(backing);
}

}  // namespace localhdfs
