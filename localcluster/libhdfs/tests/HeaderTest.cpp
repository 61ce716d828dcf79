// Our libhdfs declarations: C and C++ agree on the record layout, the open flags are the
// platform's, and every function pointer type matches its entry point exactly.
#include <gtest/gtest.h>

#include <type_traits>

#include "hadoop/LibHdfs.h"

extern "C" {
size_t LibHdfsHeaderCheckRecordSizeInC(void);
size_t LibHdfsHeaderCheckLastAccessOffsetInC(void);
int LibHdfsHeaderCheckInternalErrnoInC(void);
hdfsOpenFile_t LibHdfsHeaderCheckOpenInC(void);
hdfsListDirectory_t LibHdfsHeaderCheckListInC(void);
}

#define EXPECT_POINTER_TYPE(name) \
    static_assert(std::is_same_v<decltype(&name), name##_t>, #name "_t does not match " #name)

EXPECT_POINTER_TYPE(hdfsNewBuilder);
EXPECT_POINTER_TYPE(hdfsBuilderSetNameNode);
EXPECT_POINTER_TYPE(hdfsBuilderSetNameNodePort);
EXPECT_POINTER_TYPE(hdfsBuilderSetUserName);
EXPECT_POINTER_TYPE(hdfsBuilderSetKerbTicketCachePath);
EXPECT_POINTER_TYPE(hdfsBuilderSetForceNewInstance);
EXPECT_POINTER_TYPE(hdfsBuilderConnect);
EXPECT_POINTER_TYPE(hdfsConnect);
EXPECT_POINTER_TYPE(hdfsConnectAsUser);
EXPECT_POINTER_TYPE(hdfsDisconnect);
EXPECT_POINTER_TYPE(hdfsBuilderConfSetStr);
EXPECT_POINTER_TYPE(hdfsFreeBuilder);
EXPECT_POINTER_TYPE(hdfsExists);
EXPECT_POINTER_TYPE(hdfsGetPathInfo);
EXPECT_POINTER_TYPE(hdfsListDirectory);
EXPECT_POINTER_TYPE(hdfsFreeFileInfo);
EXPECT_POINTER_TYPE(hdfsFileIsEncrypted);
EXPECT_POINTER_TYPE(hdfsCreateDirectory);
EXPECT_POINTER_TYPE(hdfsDelete);
EXPECT_POINTER_TYPE(hdfsCopy);
EXPECT_POINTER_TYPE(hdfsMove);
EXPECT_POINTER_TYPE(hdfsRename);
EXPECT_POINTER_TYPE(hdfsChown);
EXPECT_POINTER_TYPE(hdfsChmod);
EXPECT_POINTER_TYPE(hdfsUtime);
EXPECT_POINTER_TYPE(hdfsGetCapacity);
EXPECT_POINTER_TYPE(hdfsGetUsed);
EXPECT_POINTER_TYPE(hdfsGetDefaultBlockSize);
EXPECT_POINTER_TYPE(hdfsGetDefaultBlockSizeAtPath);
EXPECT_POINTER_TYPE(hdfsGetHosts);
EXPECT_POINTER_TYPE(hdfsFreeHosts);
EXPECT_POINTER_TYPE(hdfsOpenFile);
EXPECT_POINTER_TYPE(hdfsCloseFile);
EXPECT_POINTER_TYPE(hdfsRead);
EXPECT_POINTER_TYPE(hdfsPread);
EXPECT_POINTER_TYPE(hdfsWrite);
EXPECT_POINTER_TYPE(hdfsSeek);
EXPECT_POINTER_TYPE(hdfsTell);
EXPECT_POINTER_TYPE(hdfsFlush);
EXPECT_POINTER_TYPE(hdfsHFlush);
EXPECT_POINTER_TYPE(hdfsHSync);
EXPECT_POINTER_TYPE(hdfsConfGetStr);
EXPECT_POINTER_TYPE(hdfsConfGetInt);
EXPECT_POINTER_TYPE(hdfsConfStrFree);
EXPECT_POINTER_TYPE(hdfsGetLastExceptionRootCause);
EXPECT_POINTER_TYPE(hdfsGetLastExceptionStackTrace);

TEST(LibHdfsHeader, RecordLayoutIsTheSameInC) {
    EXPECT_EQ(LibHdfsHeaderCheckRecordSizeInC(), sizeof(hdfsFileInfo));
    EXPECT_EQ(LibHdfsHeaderCheckRecordSizeInC(), 80u);
    EXPECT_EQ(LibHdfsHeaderCheckLastAccessOffsetInC(), 72u);
    EXPECT_EQ(LibHdfsHeaderCheckInternalErrnoInC(), 255);
    EXPECT_EQ(LibHdfsHeaderCheckOpenInC(), &hdfsOpenFile);
    EXPECT_EQ(LibHdfsHeaderCheckListInC(), &hdfsListDirectory);
}

TEST(LibHdfsHeader, OpenFlagsAndKindsHaveTheLibraryValues) {
    EXPECT_EQ(O_RDONLY, 0);
    EXPECT_EQ(O_WRONLY, 1);
    EXPECT_EQ(O_RDWR, 2);
    EXPECT_EQ(O_APPEND, 02000);
    EXPECT_EQ(kObjectKindFile, 'F');
    EXPECT_EQ(kObjectKindDirectory, 'D');
    EXPECT_EQ(sizeof(tObjectKind), 4u);
    EXPECT_EQ(sizeof(tSize), 4u);
    EXPECT_EQ(sizeof(tOffset), 8u);
    EXPECT_EQ(sizeof(tPort), 2u);
}
