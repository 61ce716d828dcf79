// Test access to a connection's handle, which the connection guards with its lock: every read
// and write here takes that lock, as the library's own code does, so the thread-safety analysis
// checks the tests too. No refresh check runs (unlike GetHDFS).
#pragma once

#include "hadoop/HadoopConnection.h"
#include "host/Lock.h"

class CHadoopConnectionTestPeer {
  public:
    using Connection = CHadoopFS::CHadoopConnection;

    // The raw handle (m_hFS).
    static hdfs_internal* Handle(Connection& connection) {
        FXMutexLock lock(connection.m_oConnectionLock);
        return connection.m_hFS;
    }
    // The connection's owning reference (m_pHandle).
    static HdfsHandlePtr OwnedHandle(Connection& connection) {
        FXMutexLock lock(connection.m_oConnectionLock);
        return connection.m_pHandle;
    }
    // Makes the connection share `handle`, as if it had connected to it.
    static void ShareHandle(Connection& connection, const HdfsHandlePtr& handle) {
        FXMutexLock lock(connection.m_oConnectionLock);
        connection.m_pHandle = handle;
        connection.m_hFS = handle.get();
    }
};
