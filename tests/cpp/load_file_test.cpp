#include "loading/load_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace batchaugmentor::loading {
namespace {

class LoadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/load_file_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& p : created_) ::unlink(p.c_str());
    ::rmdir(dir_.c_str());
  }

  std::string write_file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string path = dir_ + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!bytes.empty()) {
      EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
    created_.push_back(path);
    return path;
  }

  std::string make_fifo(const std::string& name) {
    std::string path = dir_ + "/" + name;
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    created_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> created_;
};

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(gen());
  return v;
}

std::vector<std::uint8_t> content_of(const LoadOutcome& r) {
  const auto& bytes = std::get<FileBytes>(r);
  if (bytes.size() == 0) return {};
  return {bytes.data(), bytes.data() + bytes.size()};
}

// Sizes around the first read and the growth steps, where an off-by-one in
// the buffer logic would drop or duplicate bytes.
class LoadFileSizes : public LoadFileTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LoadFileSizes, ReturnsExactContent) {
  const auto bytes = random_bytes(GetParam(), static_cast<unsigned>(GetParam()));
  const LoadOutcome r = load_file_bytes(write_file("f.bin", bytes));
  ASSERT_TRUE(std::holds_alternative<FileBytes>(r));
  EXPECT_EQ(content_of(r), bytes);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, LoadFileSizes,
                         ::testing::Values(0, 1, 7, 8, 9, 8191, 8192, 8193, 65536, 131071, 131072, 131073, 262143, 262144, 262145,
                                           524288, 524289, 3 * 262144 + 5, 5'000'000));

TEST_F(LoadFileTest, FailuresCarryTheOsError) {
  EXPECT_EQ(std::get<FileReadFailure>(load_file_bytes(dir_ + "/missing")).os_error, ENOENT);
  EXPECT_EQ(std::get<FileReadFailure>(load_file_bytes(dir_)).os_error, EISDIR);
  EXPECT_EQ(std::get<FileReadFailure>(load_file_bytes("")).os_error, ENOENT);
  EXPECT_FALSE(std::get<FileReadFailure>(load_file_bytes(dir_)).out_of_memory);
}

TEST_F(LoadFileTest, NulInPathFailsEvenWhenThePrefixExists) {
  const std::string path = write_file("real", {1, 2, 3});
  std::string with_nul = path;
  with_nul.push_back('\0');
  with_nul += "ignored";
  const LoadOutcome r = load_file_bytes(with_nul);
  ASSERT_TRUE(std::holds_alternative<FileReadFailure>(r));
  EXPECT_EQ(std::get<FileReadFailure>(r).os_error, 0);
}

TEST_F(LoadFileTest, PathLongerThanTheInlineBuffer) {
  // Many "./" segments make a long path to a short real one.
  std::string path = dir_;
  while (path.size() < 3000) path += "/.";
  const std::string real = write_file("long", {9, 8, 7});
  path += "/long";
  EXPECT_EQ(content_of(load_file_bytes(path)), (std::vector<std::uint8_t>{9, 8, 7}));
  (void)real;
}

TEST_F(LoadFileTest, UnreadableFileFails) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const std::string path = write_file("secret", {1});
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(std::get<FileReadFailure>(load_file_bytes(path)).os_error, EACCES);
}

TEST_F(LoadFileTest, FifoWithoutWriterIsEmptyInsteadOfHanging) {
  const std::string path = make_fifo("quiet");
  EXPECT_EQ(std::get<FileBytes>(load_file_bytes(path)).size(), 0u);
}

TEST_F(LoadFileTest, FifoIsReadUntilTheWriterCloses) {
  const std::string path = make_fifo("stream");
  const auto bytes = random_bytes(300'000, 7);
  std::thread writer([&] {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    // Small pieces with pauses, so the reader finds the pipe empty more than
    // once and has to wait instead of taking that for the end.
    for (std::size_t off = 0; off < bytes.size();) {
      std::size_t n = std::min<std::size_t>(40'000, bytes.size() - off);
      ssize_t w = ::write(fd, bytes.data() + off, n);
      ASSERT_GT(w, 0);
      off += static_cast<std::size_t>(w);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
  });
  // Open the reading end only once the writer is waiting for it, so the
  // reader sees a connected pipe.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const LoadOutcome r = load_file_bytes(path);
  writer.join();
  EXPECT_EQ(content_of(r), bytes);
}

TEST_F(LoadFileTest, FileGrowingWhileReadGivesAPrefixOfItsFinalContent) {
  const auto initial = random_bytes(1'000'000, 1);
  const std::string path = write_file("growing", initial);
  const auto extra = random_bytes(4096 * 1000, 2);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    for (std::size_t off = 0; off < extra.size() && !stop.load(); off += 4096) {
      ASSERT_EQ(::write(fd, extra.data() + off, 4096), 4096);
    }
    ::close(fd);
  });
  std::vector<std::vector<std::uint8_t>> seen;
  for (int i = 0; i < 20; ++i) seen.push_back(content_of(load_file_bytes(path)));
  stop = true;
  writer.join();
  std::vector<std::uint8_t> full = initial;
  full.insert(full.end(), extra.begin(), extra.end());
  for (const auto& s : seen) {
    ASSERT_GE(s.size(), initial.size());
    ASSERT_LE(s.size(), full.size());
    EXPECT_EQ(std::memcmp(s.data(), full.data(), s.size()), 0);
  }
}

TEST_F(LoadFileTest, FileShrinkingWhileReadKeepsItsRemainingContent) {
  const auto initial = random_bytes(5'000'000, 4);
  const std::string path = write_file("shrinking", initial);
  constexpr std::size_t kFinalSize = 1'000'000;
  std::thread cutter([&] {
    for (std::size_t size = initial.size(); size >= kFinalSize; size -= 50'000) {
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
      std::this_thread::yield();
    }
  });
  std::vector<std::vector<std::uint8_t>> seen;
  for (int i = 0; i < 20; ++i) seen.push_back(content_of(load_file_bytes(path)));
  cutter.join();
  for (const auto& s : seen) {
    ASSERT_GE(s.size(), kFinalSize);
    ASSERT_LE(s.size(), initial.size());
    EXPECT_EQ(std::memcmp(s.data(), initial.data(), kFinalSize), 0);
    // Linux may hand out zeros for a page that is being cut away during the
    // read; anything else past the surviving part would be our corruption.
    std::size_t foreign = 0;
    for (std::size_t k = kFinalSize; k < s.size(); ++k) foreign += s[k] != initial[k] && s[k] != 0;
    EXPECT_EQ(foreign, 0u);
  }
}

TEST_F(LoadFileTest, DescriptorsAreClosedOnEveryPath) {
  const std::string good = write_file("good", random_bytes(10'000, 3));
  auto open_descriptors = [] {
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
    return n;
  };
  const int before = open_descriptors();
  for (int i = 0; i < 100; ++i) {
    (void)load_file_bytes(good);
    (void)load_file_bytes(dir_);  // opens, then the read fails
    (void)load_file_bytes(dir_ + "/missing");
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace batchaugmentor::loading
