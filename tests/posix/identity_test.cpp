#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bitset>
#include <cstdlib>
#include <set>
#include <string>

#include "child_process.h"
#include "platform/posix/standard_descriptors.h"
#include "platform/posix/uuid.h"

namespace audiotap::posix {
namespace {

using testing::describeStatus;
using testing::exitedWith;
using testing::require;
using testing::runInChild;

TEST(RandomUUID, IsCanonicalUpperCaseVersion4AndDoesNotRepeat) {
  constexpr int kCount = 20000;
  std::set<std::string> seen;
  // Which hex digits turned up at each position: a stuck byte shows as one.
  std::array<std::bitset<16>, 36> digits{};
  for (int i = 0; i < kCount; ++i) {
    const std::string uuid = randomUUIDString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (std::size_t p = 0; p < uuid.size(); ++p) {
      if (p == 8 || p == 13 || p == 18 || p == 23) {
        ASSERT_EQ(uuid[p], '-') << uuid;
        continue;
      }
      const char c = uuid[p];
      const bool upperHex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
      ASSERT_TRUE(upperHex) << uuid;
      digits[p].set(std::size_t(c <= '9' ? c - '0' : c - 'A' + 10));
    }
    ASSERT_EQ(uuid[14], '4') << uuid;
    ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), std::size_t(kCount));
  for (std::size_t p = 0; p < 36; ++p) {
    if (p == 8 || p == 13 || p == 18 || p == 23 || p == 14) continue;
    EXPECT_EQ(digits[p].count(), p == 19 ? 4u : 16u) << "position " << p;
  }
}

struct ClosedSet {
  const char* name;
  bool closed[3];
};

class StandardDescriptors : public ::testing::TestWithParam<ClosedSet> {};

// In a child whose standard descriptors are partly closed: each closed one
// becomes /dev/null, each open one stays what it was, and the next open()
// lands above 2.
TEST_P(StandardDescriptors, FillsTheClosedOnesWithDevNull) {
  const ClosedSet c = GetParam();
  const int status = runInChild([c] {
    struct stat devNull {};
    require(::stat("/dev/null", &devNull) == 0, 50);
    // A pipe on every standard descriptor, so "unchanged" is told apart from /dev/null.
    int ends[2];
    require(::pipe(ends) == 0, 51);
    for (int fd = 0; fd <= 2; ++fd) require(::dup2(fd == 0 ? ends[0] : ends[1], fd) == fd, 52);
    ::close(ends[0]);
    ::close(ends[1]);
    struct stat before[3];
    for (int fd = 0; fd <= 2; ++fd) require(::fstat(fd, &before[fd]) == 0, 53);
    for (int fd = 0; fd <= 2; ++fd) {
      if (c.closed[fd]) ::close(fd);
    }

    ensureStandardDescriptors();

    for (int fd = 0; fd <= 2; ++fd) {
      struct stat now {};
      require(::fstat(fd, &now) == 0, 10 + fd);
      const struct stat& expected = c.closed[fd] ? devNull : before[fd];
      require(now.st_dev == expected.st_dev && now.st_ino == expected.st_ino, 20 + fd);
      if (c.closed[fd]) require((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0, 30 + fd);
    }
    const int next = ::open("/dev/null", O_RDONLY);
    require(next > 2, 40);
    std::exit(0);
  });
  EXPECT_EQ(describeStatus(status), exitedWith(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandardDescriptors,
    ::testing::Values(ClosedSet{"None", {false, false, false}}, ClosedSet{"Input", {true, false, false}},
                      ClosedSet{"Output", {false, true, false}}, ClosedSet{"Error", {false, false, true}},
                      ClosedSet{"InputAndError", {true, false, true}}, ClosedSet{"All", {true, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace audiotap::posix
