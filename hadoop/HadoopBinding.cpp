// Run-time binding of libhdfs: the function table, its initialisation, the library links, and the
// shared ownership of libhdfs file-system handles.
#include "hadoop/HadoopBinding.h"

#include <cerrno>

#include "hadoop/HadoopFS.h"
#include "hadoop/HadoopKerberos.h"
#include "host/Loader.h"
#include "host/Log.h"
#include "host/Path.h"
#include "host/Settings.h"

static_assert(sizeof(HdfsFunctionTable) == kHdfsFunctionTableSlots * sizeof(void*),
              "one pointer per slot");

HdfsFunctionTable func_table = {};
std::atomic<bool> gbLibraryInitialized{false};
std::string g_sBaseDirectory;

namespace {

// Resets the slot, then looks the entry point up; a failed lookup leaves the slot null.
template <typename Slot>
CEkError Resolve(CEkLibrary& library, const char* name, Slot& slot) {
    slot = nullptr;
    return library.GetAddress(name, slot);
}

template <typename Slot>
void ResolveOptional(CEkLibrary& library, const char* name, Slot& slot) {
    CEkError ignored = Resolve(library, name, slot);
    (void)ignored;
}

#define RESOLVE_REQUIRED(name)                                   \
    do {                                                         \
        CEkError err = Resolve(library, #name, func_table.name); \
        if (err.Failed())                                        \
            return err.Push(FX_LOCATION);                        \
    } while (0)

#define RESOLVE_OPTIONAL(name) ResolveOptional(library, #name, func_table.name)

CEkError ResolveEntryPoints(CEkLibrary& library) {
    RESOLVE_REQUIRED(hdfsConnect);
    RESOLVE_REQUIRED(hdfsConnectAsUser);
    RESOLVE_REQUIRED(hdfsDisconnect);
    RESOLVE_REQUIRED(hdfsGetPathInfo);
    RESOLVE_REQUIRED(hdfsExists);
    RESOLVE_REQUIRED(hdfsCreateDirectory);
    RESOLVE_REQUIRED(hdfsGetCapacity);
    RESOLVE_REQUIRED(hdfsGetUsed);
    RESOLVE_REQUIRED(hdfsListDirectory);
    RESOLVE_REQUIRED(hdfsOpenFile);
    RESOLVE_REQUIRED(hdfsCloseFile);
    RESOLVE_REQUIRED(hdfsRead);
    RESOLVE_REQUIRED(hdfsPread);
    RESOLVE_REQUIRED(hdfsWrite);
    RESOLVE_REQUIRED(hdfsSeek);
    RESOLVE_REQUIRED(hdfsTell);

    // Older libhdfs releases lack these: the builder connection, the configuration calls and
    // the per-path block size are then unavailable, and their users fall back or fail cleanly.
    RESOLVE_OPTIONAL(hdfsBuilderConnect);
    RESOLVE_OPTIONAL(hdfsBuilderSetForceNewInstance);
    RESOLVE_OPTIONAL(hdfsNewBuilder);
    RESOLVE_OPTIONAL(hdfsBuilderSetNameNode);
    RESOLVE_OPTIONAL(hdfsBuilderSetNameNodePort);
    RESOLVE_OPTIONAL(hdfsBuilderSetUserName);
    RESOLVE_OPTIONAL(hdfsGetDefaultBlockSizeAtPath);
    RESOLVE_OPTIONAL(hdfsConfGetStr);
    RESOLVE_OPTIONAL(hdfsConfGetInt);
    RESOLVE_OPTIONAL(hdfsConfStrFree);
    RESOLVE_OPTIONAL(hdfsBuilderSetKerbTicketCachePath);
    RESOLVE_OPTIONAL(hdfsFreeHosts);
    RESOLVE_OPTIONAL(hdfsRename);

    RESOLVE_REQUIRED(hdfsFreeFileInfo);
    RESOLVE_REQUIRED(hdfsCopy);
    RESOLVE_REQUIRED(hdfsDelete);
    RESOLVE_REQUIRED(hdfsUtime);
    RESOLVE_REQUIRED(hdfsFlush);
    RESOLVE_REQUIRED(hdfsChown);
    RESOLVE_REQUIRED(hdfsGetHosts);
    RESOLVE_REQUIRED(hdfsChmod);
    RESOLVE_REQUIRED(hdfsGetDefaultBlockSize);
    return CEkError();
}

#undef RESOLVE_REQUIRED
#undef RESOLVE_OPTIONAL

// Splits "<libhdfs dir>:<libjvm dir>" at the last colon; without one both are the whole text.
void SplitLinkSpecification(const std::string& spec, std::string& libHdfsDir,
                            std::string& libJvmDir) {
    const size_t colon = spec.rfind(':');
    if (colon == std::string::npos) {
        libHdfsDir = spec;
        libJvmDir = spec;
        return;
    }
    libHdfsDir = spec.substr(0, colon);
    libJvmDir = spec.substr(colon + 1);
}

CEkError CreateLink(const std::string& target, const std::string& linkPath) {
    DXLOG(0, "Creating %s->%s", target.c_str(), linkPath.c_str());
    if (symlink_utf(target, linkPath) != 0 && errno != EEXIST) {
        const int error = errno;
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, error, "symlink(%s, %s) failed", target.c_str(),
                                       linkPath.c_str());
    }
    return CEkError();
}

// Disconnects a handle when its last owner lets go. The library is initialised whenever a
// handle exists (the flag is never cleared), so the slot is there. ReleaseHdfsHandle disarms it
// when it disconnects by itself to report the result.
struct HdfsHandleDeleter {
    bool m_bArmed = true;
    void operator()(hdfs_internal* fs) const {
        if (m_bArmed && fs != nullptr && gbLibraryInitialized)
            func_table.hdfsDisconnect(fs);
    }
};

}  // namespace

CEkError CHadoopFS::Init() {
    if (gbLibraryInitialized)
        return CEkError();
    // The loader object may go: the library stays loaded for the life of the process, since the
    // table keeps pointers into it.
    CEkLibrary library;
    // libhdfs starts its JVM at the first connection and reads LIBHDFS_OPTS then.
    HadoopKerberos::PassKrb5ConfigToLibhdfsJvm();
    CEkError err = library.Load("libhdfs.so", true);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    err = ResolveEntryPoints(library);
    if (err.Failed())
        return err.Push(FX_LOCATION);
    gbLibraryInitialized = true;
    return CEkError();
}

CEkError CreateLibraryLinks(const std::string& spec) {
    const std::string base = DXPI_Base::getHomeDirectory();
    const std::string libHdfsLink = base + "/libhdfs.so";
    const std::string libJvmLink = base + "/libjvm.so";
    g_sBaseDirectory = base;

    std::string libHdfsDir, libJvmDir;
    SplitLinkSpecification(spec, libHdfsDir, libJvmDir);

    // Stale links from an earlier run or another installation never survive.
    unlink_utf(libHdfsLink);
    unlink_utf(libJvmLink);

    CEkError err = CreateLink(libHdfsDir + "/libhdfs.so", libHdfsLink);
    if (err.Failed())
        return err;
    return CreateLink(libJvmDir + "/libjvm.so", libJvmLink);
}

HdfsHandlePtr AdoptHdfsHandle(hdfs_internal* fs) {
    if (fs == nullptr)
        return HdfsHandlePtr();
    return HdfsHandlePtr(fs, HdfsHandleDeleter());
}

int ReleaseHdfsHandle(HdfsHandlePtr& handle) {
    if (!handle)
        return 0;
    // Only the last owner disconnects now; it does so itself to report the result. (As the sole
    // owner nobody else can copy the pointer any more, so the decision is final.)
    HdfsHandleDeleter* deleter = boost::get_deleter<HdfsHandleDeleter>(handle);
    if (!handle.unique() || deleter == nullptr) {
        handle.reset();
        return 0;
    }
    deleter->m_bArmed = false;
    const int result = gbLibraryInitialized ? func_table.hdfsDisconnect(handle.get()) : 0;
    const int error = errno;
    handle.reset();
    errno = error;
    return result;
}
