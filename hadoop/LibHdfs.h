/* Our own declarations of the libhdfs C interface.
 *
 * The library does not link against libhdfs: it loads libhdfs.so at run time and resolves the
 * entry points below by name into function pointers (one typedef per entry point, named after the
 * function with a "_t" suffix). The localcluster stand-in implements the same declarations.
 *
 * ABI facts this header must keep: plain C symbols, and the types of hadoop/HdfsTypes.h (the
 * scalar types' widths, the exact layout of hdfsFileInfo). Compiles as C and as C++.
 *
 * Conventions of the interface (the library relies on them):
 *  - int results: 0 on success, -1 with errno on failure; pointer results: NULL with errno;
 *    tOffset results: -1 on failure. EINTERNAL (255) is the errno of every failure that has no
 *    more specific code (connection refused, authentication failure, generic I/O error).
 *  - hdfsConfGetStr/hdfsConfGetInt return 0 or a positive errno code instead.
 *  - hdfsBuilderConnect always frees the builder; hdfsCloseFile and hdfsDisconnect always
 *    invalidate their handle, also when they return -1.
 *  - hdfsListDirectory: NULL with errno 0 and *count 0 for an empty directory; NULL with errno
 *    set and *count untouched on failure.
 *  - Everything returned by the library is released with the library's own functions
 *    (hdfsFreeFileInfo, hdfsFreeHosts, hdfsConfStrFree). hdfsFreeHosts does not accept NULL.
 */
#ifndef HDFSAGENT_HADOOP_LIBHDFS_H
#define HDFSAGENT_HADOOP_LIBHDFS_H

#include "hadoop/HdfsTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

struct hdfsBuilder;

/* ---- Connecting --------------------------------------------------------------------------- */

/* Setters store the pointer only: the strings must stay valid until hdfsBuilderConnect returns.
 * hdfsBuilderConnect frees the builder on success and on failure. Name node "default" means
 * fs.defaultFS of the configuration (the port is then ignored); NULL means the local file
 * system. */
struct hdfsBuilder* hdfsNewBuilder(void);
void hdfsBuilderSetNameNode(struct hdfsBuilder* bld, const char* nn);
void hdfsBuilderSetNameNodePort(struct hdfsBuilder* bld, tPort port);
void hdfsBuilderSetUserName(struct hdfsBuilder* bld, const char* userName);
void hdfsBuilderSetKerbTicketCachePath(struct hdfsBuilder* bld, const char* kerbTicketCachePath);
void hdfsBuilderSetForceNewInstance(struct hdfsBuilder* bld);
hdfsFS hdfsBuilderConnect(struct hdfsBuilder* bld);
hdfsFS hdfsConnect(const char* nn, tPort port);
hdfsFS hdfsConnectAsUser(const char* nn, tPort port, const char* user);
int hdfsDisconnect(hdfsFS fs);

/* Extras: a configuration override for one connection (stores pointers; for a key set twice the
 * first call wins; 0 or -ENOMEM), and releasing a builder that is never passed to connect. */
int hdfsBuilderConfSetStr(struct hdfsBuilder* bld, const char* key, const char* val);
void hdfsFreeBuilder(struct hdfsBuilder* bld);

/* ---- Metadata ----------------------------------------------------------------------------- */

int hdfsExists(hdfsFS fs, const char* path);
hdfsFileInfo* hdfsGetPathInfo(hdfsFS fs, const char* path);
hdfsFileInfo* hdfsListDirectory(hdfsFS fs, const char* path, int* numEntries);
void hdfsFreeFileInfo(hdfsFileInfo* hdfsFileInfo, int numEntries);
int hdfsFileIsEncrypted(hdfsFileInfo* hdfsFileInfo);
int hdfsCreateDirectory(hdfsFS fs, const char* path);
int hdfsDelete(hdfsFS fs, const char* path, int recursive);
int hdfsCopy(hdfsFS srcFS, const char* src, hdfsFS dstFS, const char* dst);
int hdfsMove(hdfsFS srcFS, const char* src, hdfsFS dstFS, const char* dst);
int hdfsRename(hdfsFS fs, const char* oldPath, const char* newPath);
int hdfsChown(hdfsFS fs, const char* path, const char* owner, const char* group);
int hdfsChmod(hdfsFS fs, const char* path, short mode);
int hdfsUtime(hdfsFS fs, const char* path, tTime mtime, tTime atime);

/* ---- Capacity, block size, block locations ------------------------------------------------ */

tOffset hdfsGetCapacity(hdfsFS fs);
tOffset hdfsGetUsed(hdfsFS fs);
tOffset hdfsGetDefaultBlockSize(hdfsFS fs);
tOffset hdfsGetDefaultBlockSizeAtPath(hdfsFS fs, const char* path);
/* NULL-terminated array (one slot per block) of NULL-terminated host name arrays. */
char*** hdfsGetHosts(hdfsFS fs, const char* path, tOffset start, tOffset length);
void hdfsFreeHosts(char*** blockHosts);

/* ---- Files -------------------------------------------------------------------------------- */

hdfsFile hdfsOpenFile(hdfsFS fs, const char* path, int flags, int bufferSize, short replication,
                      tSize blocksize);
int hdfsCloseFile(hdfsFS fs, hdfsFile file);
tSize hdfsRead(hdfsFS fs, hdfsFile file, void* buffer, tSize length);
tSize hdfsPread(hdfsFS fs, hdfsFile file, tOffset position, void* buffer, tSize length);
tSize hdfsWrite(hdfsFS fs, hdfsFile file, const void* buffer, tSize length);
int hdfsSeek(hdfsFS fs, hdfsFile file, tOffset desiredPos);
tOffset hdfsTell(hdfsFS fs, hdfsFile file);
int hdfsFlush(hdfsFS fs, hdfsFile file);
int hdfsHFlush(hdfsFS fs, hdfsFile file);
int hdfsHSync(hdfsFS fs, hdfsFile file);

/* ---- Configuration lookup ----------------------------------------------------------------- */

/* Return 0 or a positive errno code. A missing key gives 0 with *val NULL (GetStr) or *val
 * untouched (GetInt). A string from hdfsConfGetStr is released with hdfsConfStrFree. */
int hdfsConfGetStr(const char* key, char** val);
int hdfsConfGetInt(const char* key, int32_t* val);
void hdfsConfStrFree(char* val);

/* ---- Diagnostics (libhdfs 3.0 and later) -------------------------------------------------- */

/* Text of the last failure on the calling thread; owned by libhdfs (do not free), valid until
 * the thread's next libhdfs call; NULL when there is none. */
char* hdfsGetLastExceptionRootCause(void);
char* hdfsGetLastExceptionStackTrace(void);

/* ---- Function pointer types for run-time binding ------------------------------------------ */

typedef struct hdfsBuilder* (*hdfsNewBuilder_t)(void);
typedef void (*hdfsBuilderSetNameNode_t)(struct hdfsBuilder*, const char*);
typedef void (*hdfsBuilderSetNameNodePort_t)(struct hdfsBuilder*, tPort);
typedef void (*hdfsBuilderSetUserName_t)(struct hdfsBuilder*, const char*);
typedef void (*hdfsBuilderSetKerbTicketCachePath_t)(struct hdfsBuilder*, const char*);
typedef void (*hdfsBuilderSetForceNewInstance_t)(struct hdfsBuilder*);
typedef hdfsFS (*hdfsBuilderConnect_t)(struct hdfsBuilder*);
typedef hdfsFS (*hdfsConnect_t)(const char*, tPort);
typedef hdfsFS (*hdfsConnectAsUser_t)(const char*, tPort, const char*);
typedef int (*hdfsDisconnect_t)(hdfsFS);
typedef int (*hdfsBuilderConfSetStr_t)(struct hdfsBuilder*, const char*, const char*);
typedef void (*hdfsFreeBuilder_t)(struct hdfsBuilder*);

typedef int (*hdfsExists_t)(hdfsFS, const char*);
typedef hdfsFileInfo* (*hdfsGetPathInfo_t)(hdfsFS, const char*);
typedef hdfsFileInfo* (*hdfsListDirectory_t)(hdfsFS, const char*, int*);
typedef void (*hdfsFreeFileInfo_t)(hdfsFileInfo*, int);
typedef int (*hdfsFileIsEncrypted_t)(hdfsFileInfo*);
typedef int (*hdfsCreateDirectory_t)(hdfsFS, const char*);
typedef int (*hdfsDelete_t)(hdfsFS, const char*, int);
typedef int (*hdfsCopy_t)(hdfsFS, const char*, hdfsFS, const char*);
typedef int (*hdfsMove_t)(hdfsFS, const char*, hdfsFS, const char*);
typedef int (*hdfsRename_t)(hdfsFS, const char*, const char*);
typedef int (*hdfsChown_t)(hdfsFS, const char*, const char*, const char*);
typedef int (*hdfsChmod_t)(hdfsFS, const char*, short);
typedef int (*hdfsUtime_t)(hdfsFS, const char*, tTime, tTime);

typedef tOffset (*hdfsGetCapacity_t)(hdfsFS);
typedef tOffset (*hdfsGetUsed_t)(hdfsFS);
typedef tOffset (*hdfsGetDefaultBlockSize_t)(hdfsFS);
typedef tOffset (*hdfsGetDefaultBlockSizeAtPath_t)(hdfsFS, const char*);
typedef char*** (*hdfsGetHosts_t)(hdfsFS, const char*, tOffset, tOffset);
typedef void (*hdfsFreeHosts_t)(char***);

typedef hdfsFile (*hdfsOpenFile_t)(hdfsFS, const char*, int, int, short, tSize);
typedef int (*hdfsCloseFile_t)(hdfsFS, hdfsFile);
typedef tSize (*hdfsRead_t)(hdfsFS, hdfsFile, void*, tSize);
typedef tSize (*hdfsPread_t)(hdfsFS, hdfsFile, tOffset, void*, tSize);
typedef tSize (*hdfsWrite_t)(hdfsFS, hdfsFile, const void*, tSize);
typedef int (*hdfsSeek_t)(hdfsFS, hdfsFile, tOffset);
typedef tOffset (*hdfsTell_t)(hdfsFS, hdfsFile);
typedef int (*hdfsFlush_t)(hdfsFS, hdfsFile);
typedef int (*hdfsHFlush_t)(hdfsFS, hdfsFile);
typedef int (*hdfsHSync_t)(hdfsFS, hdfsFile);

typedef int (*hdfsConfGetStr_t)(const char*, char**);
typedef int (*hdfsConfGetInt_t)(const char*, int32_t*);
typedef void (*hdfsConfStrFree_t)(char*);

typedef char* (*hdfsGetLastExceptionRootCause_t)(void);
typedef char* (*hdfsGetLastExceptionStackTrace_t)(void);

#ifdef __cplusplus
}
#endif

#endif /* HDFSAGENT_HADOOP_LIBHDFS_H */
