/* The libhdfs data types that the library's interface passes on: sizes, offsets and times, the
 * opaque connection and file handles, and the file information record.
 *
 * ABI facts this header must keep: the scalar types' widths and the exact layout of
 * hdfsFileInfo (80 bytes on 64-bit Linux; the library receives arrays of it from libhdfs).
 * Compiles as C and as C++. The entry points themselves are declared apart, for the library and
 * the stand-ins that implement them.
 */
#ifndef HDFSAGENT_HADOOP_HDFSTYPES_H
#define HDFSAGENT_HADOOP_HDFSTYPES_H

/* The open flags (O_RDONLY, O_WRONLY, O_RDWR, O_APPEND, ...) are the platform's own. */
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* errno for failures without a more specific code. */
#define EINTERNAL 255

typedef int32_t tSize;   /* byte counts of read, pread, write; open-time block size */
typedef time_t tTime;    /* whole seconds since the epoch */
typedef int64_t tOffset; /* offsets, sizes, block sizes, capacities */
typedef uint16_t tPort;  /* name node port; 0 = not given */

typedef enum tObjectKind { kObjectKindFile = 'F', kObjectKindDirectory = 'D' } tObjectKind;

/* Opaque handles; used only through pointers. */
struct hdfs_internal;
typedef struct hdfs_internal* hdfsFS;

struct hdfsFile_internal;
typedef struct hdfsFile_internal* hdfsFile;

/* Information about one path. mName is the fully qualified URI ("hdfs://host:port/a/b").
 * mName, mOwner and mGroup are heap strings owned by the record; release records only with
 * hdfsFreeFileInfo, and never replace mOwner (libhdfs keeps private data behind it). */
typedef struct {
    tObjectKind mKind;  /* file or directory */
    char* mName;        /* fully qualified path */
    tTime mLastMod;     /* modification time, seconds */
    tOffset mSize;      /* size in bytes; 0 for directories */
    short mReplication; /* replication factor; 0 for directories */
    tOffset mBlockSize; /* block size in bytes; 0 for directories */
    char* mOwner;       /* owner name */
    char* mGroup;       /* group name */
    short mPermissions; /* permission bits (07777, sticky bit included) */
    tTime mLastAccess;  /* access time, seconds */
} hdfsFileInfo;

#if defined(__LP64__)
#ifdef __cplusplus
#define HDFSAGENT_LIBHDFS_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define HDFSAGENT_LIBHDFS_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
HDFSAGENT_LIBHDFS_STATIC_ASSERT(sizeof(tObjectKind) == 4, "tObjectKind is a 4-byte enum");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(sizeof(tTime) == 8, "tTime is a 64-bit time_t");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(sizeof(hdfsFileInfo) == 80, "hdfsFileInfo is 80 bytes");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mKind) == 0, "mKind at 0");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mName) == 8, "mName at 8");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mLastMod) == 16, "mLastMod at 16");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mSize) == 24, "mSize at 24");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mReplication) == 32, "mReplication at 32");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mBlockSize) == 40, "mBlockSize at 40");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mOwner) == 48, "mOwner at 48");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mGroup) == 56, "mGroup at 56");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mPermissions) == 64, "mPermissions at 64");
HDFSAGENT_LIBHDFS_STATIC_ASSERT(offsetof(hdfsFileInfo, mLastAccess) == 72, "mLastAccess at 72");
#undef HDFSAGENT_LIBHDFS_STATIC_ASSERT
#endif

#ifdef __cplusplus
}
#endif

#endif /* HDFSAGENT_HADOOP_HDFSTYPES_H */
