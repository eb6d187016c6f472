#include "platform/single_instance.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace timbrelo;
using namespace timbrelo::test;

namespace {

// Whether a fresh process would be the first copy now.
bool anotherProcessWouldBeFirst() {
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(SingleInstance().first() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SingleInstance, OneCopyAtATimeAndTheLockGoesWithTheProcess) {
    TempDir dir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
    EXPECT_TRUE(anotherProcessWouldBeFirst());
    {
        SingleInstance first;
        ASSERT_TRUE(first.first());
        EXPECT_EQ(first.lockPath().rfind(dir.path(), 0), 0u);
        EXPECT_FALSE(anotherProcessWouldBeFirst());
    }
    // The first copy has ended (or crashed: the kernel drops the lock either way).
    EXPECT_TRUE(anotherProcessWouldBeFirst());
}

} // namespace
