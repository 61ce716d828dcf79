/* The declarations compile as C, with the same record layout as in C++. */
#include <stddef.h>

#include "hadoop/LibHdfs.h"

size_t LibHdfsHeaderCheckRecordSizeInC(void) {
    return sizeof(hdfsFileInfo);
}
size_t LibHdfsHeaderCheckLastAccessOffsetInC(void) {
    return offsetof(hdfsFileInfo, mLastAccess);
}
int LibHdfsHeaderCheckInternalErrnoInC(void) {
    return EINTERNAL;
}

/* Every function pointer type accepts its entry point (checked by the C compiler as well). */
hdfsOpenFile_t LibHdfsHeaderCheckOpenInC(void) {
    return &hdfsOpenFile;
}
hdfsListDirectory_t LibHdfsHeaderCheckListInC(void) {
    return &hdfsListDirectory;
}
