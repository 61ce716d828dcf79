// The run-time binding of libhdfs, inside the library only: the process-wide function table
// that every HDFS call goes through, its initialisation flag, and the ownership of libhdfs
// file-system handles. Nothing here is installed or exported.
//
// libhdfs is not linked: CHadoopFS::Init loads "libhdfs.so" at run time and resolves its entry
// points into func_table. gbLibraryInitialized records that every required slot is filled; it
// goes from false to true once and never back.
#pragma once

#include <atomic>

#include "hadoop/HadoopFile.h"
#include "hadoop/LibHdfs.h"

// The libhdfs function table.
//
// One typed slot per entry point, in slot order. A slot is null until Init resolves it; an
// optional slot stays null when the loaded libhdfs lacks the entry point, and every user of an
// optional slot tests it first (a missing optional entry point fails its operation with -1 and
// ENOTSUP, or selects the older connection path). Slots 0..35 are the classic table; slot 36
// (hdfsFreeHosts) is an optional extra used to release block host lists, slot 37 (hdfsRename)
// one that renames within the cluster. After Init has set
// gbLibraryInitialized the table is only read, so callers read it without locking.
struct HdfsFunctionTable {
    hdfsConnect_t hdfsConnect;                                              // 0
    hdfsConnectAsUser_t hdfsConnectAsUser;                                  // 1
    hdfsDisconnect_t hdfsDisconnect;                                        // 2
    hdfsGetPathInfo_t hdfsGetPathInfo;                                      // 3
    hdfsExists_t hdfsExists;                                                // 4
    hdfsCreateDirectory_t hdfsCreateDirectory;                              // 5
    hdfsGetCapacity_t hdfsGetCapacity;                                      // 6
    hdfsGetUsed_t hdfsGetUsed;                                              // 7
    hdfsListDirectory_t hdfsListDirectory;                                  // 8
    hdfsOpenFile_t hdfsOpenFile;                                            // 9
    hdfsCloseFile_t hdfsCloseFile;                                          // 10
    hdfsRead_t hdfsRead;                                                    // 11
    hdfsPread_t hdfsPread;                                                  // 12
    hdfsWrite_t hdfsWrite;                                                  // 13
    hdfsSeek_t hdfsSeek;                                                    // 14
    hdfsTell_t hdfsTell;                                                    // 15
    hdfsChown_t hdfsChown;                                                  // 16
    hdfsChmod_t hdfsChmod;                                                  // 17
    hdfsUtime_t hdfsUtime;                                                  // 18
    hdfsNewBuilder_t hdfsNewBuilder;                                        // 19 optional
    hdfsBuilderConnect_t hdfsBuilderConnect;                                // 20 optional
    hdfsBuilderSetForceNewInstance_t hdfsBuilderSetForceNewInstance;        // 21 optional
    hdfsBuilderSetNameNode_t hdfsBuilderSetNameNode;                        // 22 optional
    hdfsBuilderSetNameNodePort_t hdfsBuilderSetNameNodePort;                // 23 optional
    hdfsBuilderSetUserName_t hdfsBuilderSetUserName;                        // 24 optional
    hdfsFreeFileInfo_t hdfsFreeFileInfo;                                    // 25
    hdfsCopy_t hdfsCopy;                                                    // 26
    hdfsDelete_t hdfsDelete;                                                // 27
    hdfsFlush_t hdfsFlush;                                                  // 28
    hdfsGetHosts_t hdfsGetHosts;                                            // 29
    hdfsGetDefaultBlockSize_t hdfsGetDefaultBlockSize;                      // 30
    hdfsGetDefaultBlockSizeAtPath_t hdfsGetDefaultBlockSizeAtPath;          // 31 optional
    hdfsConfGetStr_t hdfsConfGetStr;                                        // 32 optional
    hdfsConfGetInt_t hdfsConfGetInt;                                        // 33 optional
    hdfsConfStrFree_t hdfsConfStrFree;                                      // 34 optional
    hdfsBuilderSetKerbTicketCachePath_t hdfsBuilderSetKerbTicketCachePath;  // 35 optional
    hdfsFreeHosts_t hdfsFreeHosts;                                          // 36 optional
    hdfsRename_t hdfsRename;                                                // 37 optional
};

// Number of slots (the 36 classic ones and the hdfsFreeHosts and hdfsRename extras).
constexpr int kHdfsFunctionTableSlots = 38;

extern HdfsFunctionTable func_table;
extern std::atomic<bool> gbLibraryInitialized;  // set once by CHadoopFS::Init

// Takes ownership of `fs` (null gives an empty pointer). The last reference calls hdfsDisconnect
// through the table and ignores its result (libhdfs invalidates the handle either way).
HdfsHandlePtr AdoptHdfsHandle(hdfs_internal* fs);

// Drops `handle`'s reference; `handle` is empty afterwards. When it was the last reference the
// handle is disconnected now and hdfsDisconnect's result is returned (-1 with errno on
// failure; the handle is invalid afterwards either way). Otherwise returns 0 and the handle is
// disconnected when its last file is closed. An empty `handle` returns 0.
int ReleaseHdfsHandle(HdfsHandlePtr& handle);
