// CHadoopFile: pass-through to the libhdfs file calls of the function table.
#include "hadoop/HadoopFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include "hadoop/HadoopBinding.h"
#include "host/Path.h"

namespace {

// libhdfs counts bytes in a 32-bit signed size: a longer request would turn negative.
bool FitsInSize(unsigned int length) {
    return length <= static_cast<unsigned int>(INT32_MAX);
}

int Fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

CHadoopFile::CHadoopFile() : m_hFS(nullptr), m_hFile(nullptr) {}

CHadoopFile::CHadoopFile(hdfs_internal*& fs, const char* name, int flags, int bufferSize,
                         short replication, int blockSize)
    : m_hFS(fs), m_hFile(nullptr), m_sFilename(name != nullptr ? name : "") {
    Open(flags, bufferSize, replication, blockSize);
}

CHadoopFile::CHadoopFile(const HdfsHandlePtr& fs, const char* name, int flags, int bufferSize,
                         short replication, int blockSize)
    : m_hFS(fs.get()), m_hFile(nullptr), m_sFilename(name != nullptr ? name : ""), m_pFSOwner(fs) {
    Open(flags, bufferSize, replication, blockSize);
    // A file that did not open has no use for the handle.
    if (m_hFile == nullptr)
        m_pFSOwner.reset();
}

CHadoopFile::~CHadoopFile() {
    const int ignored = Close();
    (void)ignored;
}

void CHadoopFile::Open(int flags, int bufferSize, short replication, int blockSize) {
    if (m_hFS == nullptr || !gbLibraryInitialized) {
        errno = m_hFS == nullptr ? ENOTCONN : EFAULT;
    } else {
        m_hFile = func_table.hdfsOpenFile(m_hFS, utfToMbe(m_sFilename).c_str(), flags, bufferSize,
                                          replication, blockSize);
    }
    if (m_hFile == nullptr) {
        const int error = errno;
        fprintf(stderr, "hdfsOpenFile(%s) failed, error=%d\n", m_sFilename.c_str(), error);
        errno = error;
    }
}

int CHadoopFile::Close() {
    if (m_hFS == nullptr)
        return Fail(ENOTCONN);
    if (m_hFile == nullptr)
        return 0;
    // libhdfs frees the file handle whatever the result, so it is forgotten either way.
    const int result = func_table.hdfsCloseFile(m_hFS, m_hFile);
    const int error = errno;
    m_hFile = nullptr;
    // The last file on a handle its connection has let go disconnects it here.
    m_pFSOwner.reset();
    errno = error;
    return result;
}

int CHadoopFile::Read(void* buffer, unsigned int length) {
    if (m_hFile == nullptr)
        return Fail(EIO);
    if (!FitsInSize(length))
        return Fail(EINVAL);
    return func_table.hdfsRead(m_hFS, m_hFile, buffer, static_cast<tSize>(length));
}

int CHadoopFile::Pread(void* buffer, unsigned int length, long position) {
    if (m_hFile == nullptr)
        return Fail(EIO);
    if (!FitsInSize(length) || position < 0)
        return Fail(EINVAL);
    return func_table.hdfsPread(m_hFS, m_hFile, position, buffer, static_cast<tSize>(length));
}

int CHadoopFile::Write(const void* buffer, unsigned int length) {
    if (m_hFile == nullptr)
        return Fail(EIO);
    if (!FitsInSize(length))
        return Fail(EINVAL);
    return func_table.hdfsWrite(m_hFS, m_hFile, buffer, static_cast<tSize>(length));
}

int CHadoopFile::Seek(long position) {
    if (m_hFile == nullptr)
        return Fail(EIO);
    if (position < 0)
        return Fail(EINVAL);
    return func_table.hdfsSeek(m_hFS, m_hFile, position);
}

long CHadoopFile::Tell() {
    if (m_hFile == nullptr)
        return Fail(EIO);
    return func_table.hdfsTell(m_hFS, m_hFile);
}

int CHadoopFile::Flush() {
    if (m_hFile == nullptr)
        return Fail(EIO);
    return func_table.hdfsFlush(m_hFS, m_hFile);
}
