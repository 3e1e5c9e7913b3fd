#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bitset>
#include <set>
#include <string>

#include "child.h"
#include "platform/posix/standard_descriptors.h"
#include "platform/posix/uuid.h"

namespace audiotap::posix {
namespace {

using testing::require;
using testing::runInChild;

TEST(RandomUUID, IsCanonicalUpperCaseVersion4AndDoesNotRepeat) {
  constexpr int kCount = 20000;
  const std::string hex = "0123456789ABCDEF";
  std::set<std::string> seen;
  std::array<std::bitset<16>, 36> digits{};  // a stuck byte shows as a position with one digit
  for (int i = 0; i < kCount; ++i) {
    const std::string uuid = randomUUIDString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (std::size_t p = 0; p < uuid.size(); ++p) {
      const bool dash = p == 8 || p == 13 || p == 18 || p == 23;
      ASSERT_EQ(uuid[p] == '-', dash) << uuid;
      if (dash) continue;
      ASSERT_NE(hex.find(uuid[p]), std::string::npos) << uuid;
      digits[p].set(hex.find(uuid[p]));
    }
    ASSERT_EQ(uuid[14], '4') << uuid;
    ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), std::size_t(kCount));
  for (std::size_t p = 0; p < 36; ++p) {
    const std::size_t expected = p == 8 || p == 13 || p == 18 || p == 23 ? 0 : p == 14 ? 1 : p == 19 ? 4 : 16;
    EXPECT_EQ(digits[p].count(), expected) << "position " << p;
  }
}

class StandardDescriptors : public ::testing::TestWithParam<std::array<bool, 3>> {};

// Each closed one becomes /dev/null, each open one stays what it was, and the next open() lands above 2.
TEST_P(StandardDescriptors, FillTheClosedOnesWithDevNull) {
  const std::array<bool, 3> closed = GetParam();
  EXPECT_EQ(runInChild([&] {
              struct stat devNull {
              }, before[3], now{};
              require(::stat("/dev/null", &devNull) == 0, 50);
              // Pipes everywhere first, so that "unchanged" differs from /dev/null.
              int ends[2];
              require(::pipe(ends) == 0, 51);
              for (int fd = 0; fd <= 2; ++fd) require(::dup2(ends[fd == 0 ? 0 : 1], fd) == fd, 52);
              for (int fd = 0; fd <= 2; ++fd) require(::fstat(fd, &before[fd]) == 0, 53);
              for (int fd = 0; fd <= 2; ++fd) {
                if (closed[fd]) ::close(fd);
              }
              ensureStandardDescriptors();
              for (int fd = 0; fd <= 2; ++fd) {
                const struct stat& expected = closed[fd] ? devNull : before[fd];
                require(
                    ::fstat(fd, &now) == 0 && now.st_dev == expected.st_dev && now.st_ino == expected.st_ino,
                    10 + fd);
                require((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0, 20 + fd);  // a child of ours inherits them
              }
              require(::open("/dev/null", O_RDONLY) > 2, 30);
              std::exit(0);
            }),
            "exit 0");
}

INSTANTIATE_TEST_SUITE_P(Cases, StandardDescriptors,
                         ::testing::Values(std::array{false, false, false}, std::array{true, false, false},
                                           std::array{false, true, false}, std::array{false, false, true},
                                           std::array{true, false, true}, std::array{true, true, true}));

}  // namespace
}  // namespace audiotap::posix
