// CHadoopFile: one open HDFS file.
//
// Every data operation is one call through the libhdfs function table with no allocation and no
// logging; results and errno are libhdfs's own. The only checks of its own: a data operation on
// a file that is not open fails with -1 and errno 5 (EIO); a length of 2^31 bytes or more, or a
// negative position, fails with -1 and errno 22 (EINVAL) (libhdfs sizes are 32-bit signed).
//
// A file opened through CHadoopFS::Open shares ownership of the libhdfs handle it was opened on
// (HdfsHandlePtr), so a reconnect of the connection never disconnects that handle while the file
// is open; the file keeps working on that handle until it is closed. Closing releases the
// file's reference (the handle is disconnected then if the connection has moved on).
//
// Not copied: shared as boost::shared_ptr<CHadoopFile>; the last reference closes the file.
// One handle is used by one thread at a time for Read/Seek/Write (they share libhdfs's file
// position); Pread does not use that position.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "hadoop/HdfsTypes.h"
#include "host/Export.h"

// Shared ownership of a libhdfs file-system handle.
//
// A connection that reconnects (an expired Kerberos ticket) disconnects its old handle while
// files opened on it may still be in use; calling libhdfs with a disconnected handle is
// undefined. So a handle is reference-counted: the connection holds one HdfsHandlePtr (and its
// raw m_hFS view of the same handle), every CHadoopFile opened on it holds a copy, and the real
// hdfsDisconnect runs when the last holder lets go. A connection's Disconnect drops only its own
// reference; the handle then stays alive until the last file opened on it is
// closed, and no call ever reaches a handle that was disconnected. The connection's
// GetHDFSHandle() returns its owning pointer after the same refresh check as GetHDFS(); the
// file-system operations hold that pointer for the duration of each call.
typedef boost::shared_ptr<hdfs_internal> HdfsHandlePtr;

class HDFSAGENT_API CHadoopFile {
  public:
    // Nothing open, no file system, empty name.
    CHadoopFile();
    // Opens `name` on `fs` without owning it: the caller keeps `fs` connected while the file is
    // in use.
    CHadoopFile(hdfs_internal*& fs, const char* name, int flags, int bufferSize, short replication,
                int blockSize);
    // Opens `name` on `fs` and keeps a reference to it until Close.
    CHadoopFile(const HdfsHandlePtr& fs, const char* name, int flags, int bufferSize,
                short replication, int blockSize);
    // Closes (result ignored).
    ~CHadoopFile();
    CHadoopFile(const CHadoopFile&) = delete;
    CHadoopFile& operator=(const CHadoopFile&) = delete;

    bool IsOpen() { return m_hFile != nullptr; }
    // The name as given to the constructor.
    const char* GetFilename() { return m_sFilename.c_str(); }

    // -1 with ENOTCONN for a default-constructed handle; 0 when not open (failed or closed
    // already); otherwise hdfsCloseFile's result, and the file is not open afterwards whatever
    // that result.
    int Close();
    // Bytes read, 0 at end of file, -1 on failure.
    int Read(void* buffer, unsigned int length);
    // Read at an absolute position without moving the file position.
    int Pread(void* buffer, unsigned int length, long position);
    // Bytes written or -1.
    int Write(const void* buffer, unsigned int length);
    int Seek(long position);
    // Current position or -1.
    long Tell();
    int Flush();

  private:
    void Open(int flags, int bufferSize, short replication, int blockSize);

    hdfs_internal* m_hFS;
    hdfsFile m_hFile;
    std::string m_sFilename;
    HdfsHandlePtr m_pFSOwner;  // the shared reference to m_hFS (empty for the raw form)
};
