// Tests that a descriptor has one owner: closed when it goes, handed on by a move, given up by
// release, and that closing leaves errno alone unless asked for close's result.
#include "publisher/ops/unique_fd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>

using namespace publisher;

namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

} // namespace

TEST(UniqueFdTest, ClosesOnceWhenItsLastOwnerGoes) {
    int raw = -1;
    {
        UniqueFd first(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        raw = first.get();
        ASSERT_TRUE(first);
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);
        UniqueFd third;
        third = std::move(second);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));

    UniqueFd kept(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    raw = kept.release();
    EXPECT_FALSE(kept);
    EXPECT_TRUE(IsOpen(raw));
    kept.reset(raw);
    errno = ENOENT;
    kept.reset();
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(IsOpen(raw));
    EXPECT_EQ(kept.Close(), 0);
}
