// Checks shared by the tests of failing calls: the errno a POSIX-style call leaves, and the code
// and messages of a CEkError.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "host/Error.h"

namespace testsupport {

// Runs `call` and returns the errno it left (0 when it succeeded).
template <typename Call>
int ErrnoOf(Call call) {
    errno = 0;
    return call() == -1 ? errno : 0;
}

// The message of the first frame: the one the failing call itself wrote.
inline std::string FirstMessage(const CEkError& err) {
    return err.Frames().empty() ? std::string() : err.Frames().back().message;
}

// A failure with exactly this code and (newest) message.
inline void ExpectError(const CEkError& err, int code, const std::string& message) {
    ASSERT_TRUE(err.Failed());
    EXPECT_EQ(code, err.Code());
    EXPECT_EQ(message, err.Message());
}

}  // namespace testsupport
