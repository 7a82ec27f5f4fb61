// The handle owner over a counting close, and over real file descriptors where they exist.
#include "common/unique_handle.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::vector<int> closed;

struct CountingTraits {
  using Handle = int;
  static int Empty() { return 0; }
  static void Close(int handle) {
    closed.push_back(handle);
    // A close that fails and says so.
#ifdef _WIN32
    SetLastError(ERROR_INVALID_HANDLE);
#else
    errno = EBADF;
#endif
  }
};
using Owner = quorvel::UniqueHandle<CountingTraits>;

TEST(UniqueHandle, ClosesEachHandleOnceAndKeepsTheLastError) {
  closed.clear();
  {
    Owner first(1);
    Owner second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), 1);
    second = std::move(second);  // on itself: still held, nothing closed
    EXPECT_EQ(second.get(), 1);
    EXPECT_TRUE(closed.empty());

#ifdef _WIN32
    SetLastError(ERROR_FILE_NOT_FOUND);
#else
    errno = ENOENT;
#endif
    second.reset(2);
    EXPECT_EQ(closed, std::vector<int>{1});
#ifdef _WIN32
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
#else
    EXPECT_EQ(errno, ENOENT);
#endif

    // put closes what is held before handing out the place for a new handle.
    *second.put() = 3;
    EXPECT_EQ(closed, (std::vector<int>{1, 2}));
    EXPECT_EQ(second.release(), 3);
    EXPECT_FALSE(second);
    Owner third(4);
    third = Owner(5);
    EXPECT_EQ(closed, (std::vector<int>{1, 2, 4}));
  }
  // 3 was released; 5 is closed when its owner goes.
  EXPECT_EQ(closed, (std::vector<int>{1, 2, 4, 5}));
}

#ifndef _WIN32
TEST(UniqueHandle, FileDescriptorIsClosedWhenItsOwnerGoes) {
  int raw = -1;
  {
    quorvel::UniqueFd fd(open("/dev/null", O_RDONLY));
    ASSERT_TRUE(fd);
    raw = fd.get();
    EXPECT_NE(fcntl(raw, F_GETFD), -1);
  }
  errno = 0;
  EXPECT_EQ(fcntl(raw, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}
#endif

}  // namespace
