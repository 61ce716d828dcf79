// Open files: open flags as the real library interprets them, reads (possibly short), all-or-
// nothing writes, positions, flushes, close.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "Errors.h"
#include "Faults.h"
#include "Operations.h"

namespace localhdfs {

namespace {

constexpr int64_t kChecksumChunk = 512;

// The name node's limits for a new file's block size and replication.
bool CheckCreateParameters(const Instance& instance, short replication, tSize blockSize) {
    if (replication < 0 || blockSize < 0) {
        FailInvalid("negative replication (" + std::to_string(replication) + ") or block size (" +
                    std::to_string(blockSize) + ")");
        return false;
    }
    if (blockSize > 0) {
        int64_t minimum = 1048576;
        std::string error;
        if (!instance.conf.GetLongBytes("dfs.namenode.fs-limits.min-block-size", minimum, error)) {
            Fail(EINTERNAL, error);
            return false;
        }
        if (blockSize < minimum) {
            FailInternal(
                "Specified block size is less than configured minimum value "
                "(dfs.namenode.fs-limits.min-block-size): " +
                std::to_string(blockSize) + " < " + std::to_string(minimum));
            return false;
        }
        if (blockSize % kChecksumChunk != 0) {
            FailInternal("io.bytes.per.checksum(512) and blockSize(" + std::to_string(blockSize) +
                         ") do not match. blockSize should be a multiple of io.bytes.per.checksum");
            return false;
        }
    }
    if (replication > 512) {
        FailInternal("Requested replication factor of " + std::to_string(replication) +
                     " exceeds maximum of 512");
        return false;
    }
    return true;
}

bool TakeLease(const ResolvedPath& entry) {
    if (AcquireLease(entry.backing))
        return true;
    const std::string message = "Failed to create file [" + entry.path +
                                "] because this file lease is currently owned by another client";
    FailInternal("org.apache.hadoop.hdfs.protocol.AlreadyBeingCreatedException: " + message);
    return false;
}

// A reader opens first and looks at what it opened: one path lookup instead of two.
int OpenForReading(const ResolvedPath& entry) {
    const int fd = open(entry.backing.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return FailNotFound(entry.path);
        return FailSystem(errno, "open", entry.path);
    }
    struct stat st;
    const bool statted = fstat(fd, &st) == 0;
    if (statted && !S_ISDIR(st.st_mode))
        return fd;
    const int error = errno;
    const bool directory = statted;
    close(fd);
    if (directory)
        return Fail(ENOENT, "java.io.FileNotFoundException: Path is not a file: " + entry.path);
    return FailSystem(error, "open", entry.path);
}

int OpenExistingFile(const ResolvedPath& entry, bool append) {
    if (!append)
        return OpenForReading(entry);
    struct stat st;
    if (stat(entry.backing.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return FailNotFound(entry.path);
        return FailSystem(errno, append ? "append" : "open", entry.path);
    }
    if (S_ISDIR(st.st_mode))
        return Fail(ENOENT, "java.io.FileNotFoundException: Path is not a file: " + entry.path);
    if (append && !TakeLease(entry))
        return -1;
    const int fd =
        open(entry.backing.c_str(), (append ? O_WRONLY | O_APPEND : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        FailSystem(errno, append ? "append" : "open", entry.path);
        if (append)
            ReleaseLease(entry.backing);
        return -1;
    }
    if (append)
        lseek(fd, 0, SEEK_END);  // an appending stream's position starts at the end
    return fd;
}

// Checks shared by the data calls: a live handle of the right kind on an open file system.
bool Usable(hdfsFile file, bool wantWriter, int wrongKindErrno) {
    if (!ValidFile(file))
        return false;
    if (file->writer != wantWriter) {
        Fail(wrongKindErrno, wantWriter ? "java.io.IOException: not an output stream"
                                        : "java.io.IOException: not an input stream");
        return false;
    }
    if (file->instance->closed || file->streamClosed || file->fd < 0) {
        FailInternal("Filesystem closed");
        return false;
    }
    return true;
}

bool CheckLength(tSize length) {
    if (length >= 0)
        return true;
    FailInvalid("negative length " + std::to_string(length));
    return false;
}

size_t ShapedLength(tSize length) {
    const size_t limit = ShortReadLimit();
    return limit > 0 ? std::min(static_cast<size_t>(length), limit) : static_cast<size_t>(length);
}

}  // namespace

int WriteFully(int fd, const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t put = write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return errno;
        done += static_cast<size_t>(put);
    }
    return 0;
}

int CreateFileForWrite(const Instance& instance, const ResolvedPath& entry, short replication,
                       tSize blockSize) {
    if (!CheckCreateParameters(instance, replication, blockSize))
        return -1;
    struct stat st;
    if (stat(entry.backing.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return Fail(EEXIST, "org.apache.hadoop.fs.FileAlreadyExistsException: " + entry.path +
                                " already exists as a directory");
    if (IsRoot(entry))
        return FailInvalid("cannot create the root directory as a file");
    if (!MakeParentDirectories(instance, entry))
        return -1;
    if (!TakeLease(entry))
        return -1;
    unlink(entry.backing.c_str());
    const int fd = open(entry.backing.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        FailSystem(errno, "create", entry.path);
        ReleaseLease(entry.backing);
        return -1;
    }
    InitializeNewEntry(instance, entry, false);
    if (!instance.local) {
        if (replication > 0)
            SetNumberXattr(entry.backing, kReplicationXattr, replication);
        if (blockSize > 0)
            SetNumberXattr(entry.backing, kBlockSizeXattr, blockSize);
    }
    return fd;
}

hdfsFile OpenFile(hdfsFS fs, const char* path, int flags, short replication, tSize blockSize) {
    const int access = flags & O_ACCMODE;
    if (access == O_RDWR) {
        Fail(ENOTSUP,
             "java.lang.UnsupportedOperationException: cannot open an hdfs file in "
             "O_RDWR mode");
        return nullptr;
    }
    if (access != O_RDONLY && access != O_WRONLY) {
        FailInvalid("invalid open flags " + std::to_string(flags));
        return nullptr;
    }
    InstancePtr instance = OpenInstance(fs);
    ResolvedPath entry;
    if (!instance || !Resolve(*instance, path, entry))
        return nullptr;

    const bool writer = access == O_WRONLY;
    const bool append = writer && (flags & O_APPEND);
    // O_CREAT and O_EXCL are not honoured (the real library only warns about them).
    const int fd = writer && !append ? CreateFileForWrite(*instance, entry, replication, blockSize)
                                     : OpenExistingFile(entry, append);
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<hdfsFile_internal>();
    file->instance = instance;
    file->fd = fd;
    file->writer = writer;
    file->path = entry.path;
    file->backing = entry.backing;
    return RegisterFile(std::move(file));
}

int CloseFile(hdfsFile file) {
    if (!ValidFile(file))
        return -1;
    // The descriptor is closed here so a failure can be reported; the handle itself is released
    // by the caller on every path.
    const int fd = file->fd;
    file->fd = -1;
    if (fd >= 0 && close(fd) != 0)
        return FailSystem(errno, "close", file->path);
    return 0;
}

tSize Read(hdfsFile file, void* buffer, tSize length) {
    // The length is checked before the handle, as the real library does.
    if (length == 0)
        return 0;
    if (!CheckLength(length) || !Usable(file, false, EINVAL))
        return -1;
    for (;;) {
        const ssize_t got = read(file->fd, buffer, ShapedLength(length));
        if (got >= 0)
            return static_cast<tSize>(got);
        if (errno != EINTR)
            return FailSystem(errno, "read", file->path);
    }
}

tSize Pread(hdfsFile file, tOffset position, void* buffer, tSize length) {
    if (!Usable(file, false, EINVAL) || !CheckLength(length))
        return -1;
    if (position < 0)
        return Fail(EINTERNAL, "java.io.EOFException: Cannot read at negative position " +
                                   std::to_string(position));
    if (length == 0)
        return 0;
    for (;;) {
        const ssize_t got = pread(file->fd, buffer, ShapedLength(length), position);
        if (got >= 0)
            return static_cast<tSize>(got);
        if (errno != EINTR)
            return FailSystem(errno, "read", file->path);
    }
}

tSize Write(hdfsFile file, const void* buffer, tSize length) {
    if (!Usable(file, true, EINVAL) || !CheckLength(length))
        return -1;
    if (const int error =
            WriteFully(file->fd, static_cast<const char*>(buffer), static_cast<size_t>(length)))
        return FailSystem(error, "write", file->path);
    return length;
}

int Seek(hdfsFile file, tOffset position) {
    if (!Usable(file, false, EBADF))
        return -1;
    struct stat st;
    if (fstat(file->fd, &st) != 0)
        return FailSystem(errno, "seek", file->path);
    if (position < 0)
        return Fail(EINTERNAL, "java.io.EOFException: Cannot seek to negative offset");
    if (position > st.st_size)
        return Fail(EINTERNAL, "java.io.EOFException: Cannot seek after EOF");
    if (lseek(file->fd, position, SEEK_SET) < 0)
        return FailSystem(errno, "seek", file->path);
    return 0;
}

tOffset Tell(hdfsFile file) {
    if (!ValidFile(file) || !Usable(file, file->writer, EBADF))
        return -1;
    const off_t position = lseek(file->fd, 0, SEEK_CUR);
    if (position < 0)
        return FailSystem(errno, "getPos", file->path);
    return position;
}

int Flush(hdfsFile file, bool sync) {
    if (!Usable(file, true, EBADF))
        return -1;
    if (sync && fsync(file->fd) != 0)
        return FailSystem(errno, "hsync", file->path);
    return 0;
}

}  // namespace localhdfs
