#include "loading/load_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/pages.h"

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

struct Loaded {
  bool failed = false;
  bool in_place = false;  // the content landed whole in the hinted target
  std::vector<std::uint8_t> content;
};

// Runs the steps of a batch load on one file as the batch does: sized, then
// `between` (to change the file after sizing), then its pieces on two
// threads, so that the piece that finishes the file is not always the same.
Loaded load_in_steps(const std::string& path, MemoryBudget& budget, const CancelFlag* cancel = nullptr,
                     const std::function<void()>& between = {}) {
  FileLoad f;
  f.open(path);
  if (between) between();
  std::vector<std::uint8_t> target(f.hint());
  if (f.hint() > 0) f.set_target(target.data());
  f.start_pieces();
  const std::size_t pieces = f.piece_count();
  std::thread other([&] {
    for (std::size_t k = 1; k < pieces; k += 2) f.read_piece(k, budget, cancel);
  });
  for (std::size_t k = 0; k < pieces; k += 2) f.read_piece(k, budget, cancel);
  other.join();
  f.read_deferred(budget, cancel);
  Loaded out;
  out.failed = !f.ok();
  if (out.failed) return out;
  out.in_place = f.complete_in_target();
  out.content.assign(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(f.in_target()));
  out.content.insert(out.content.end(), f.extra().data(), f.extra().data() + f.extra().size());
  return out;
}

// `bytes` loaded from a pipe, read as a stream of unknown size. The test
// holds the writing end from before the load opens the pipe until every byte
// is written, so the load sees the end of data only after the last one.
Loaded load_through_pipe(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         MemoryBudget& budget) {
  const int fd = ::open(path.c_str(), O_RDWR);  // a writer from the start
  EXPECT_GE(fd, 0);
  std::thread writer;
  // Written only once the load has opened the pipe: a pipe that nobody holds
  // open drops what it buffers.
  const Loaded r = load_in_steps(path, budget, nullptr, [&] {
    writer = std::thread([&] {
      for (std::size_t off = 0; off < bytes.size();) {
        const ssize_t w = ::write(fd, bytes.data() + off, bytes.size() - off);
        ASSERT_GT(w, 0);
        off += static_cast<std::size_t>(w);
      }
      ::close(fd);
    });
  });
  writer.join();
  return r;
}

// Sizes around the first read, the growth steps and the piece boundaries,
// where an off-by-one would drop or duplicate bytes.
class LoadFileSizes : public LoadFileTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LoadFileSizes, BothWaysReturnTheExactContent) {
  const auto bytes = random_bytes(GetParam(), static_cast<unsigned>(GetParam()));
  const std::string path = write_file("f.bin", bytes);
  MemoryBudget budget;
  const Loaded streamed = load_through_pipe(make_fifo("f.pipe"), bytes, budget);
  ASSERT_FALSE(streamed.failed);
  EXPECT_EQ(streamed.content, bytes);
  EXPECT_FALSE(streamed.in_place);
  const Loaded stepped = load_in_steps(path, budget);
  ASSERT_FALSE(stepped.failed);
  EXPECT_EQ(stepped.content, bytes);
  // A file of exactly the size it reports lands in its target, nowhere else.
  EXPECT_EQ(stepped.in_place, !bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(Boundaries, LoadFileSizes,
                         ::testing::Values(0, 1, 8, 9, 8192, 131071, 131072, 131073, 262145, kPieceBytes - 1,
                                           kPieceBytes, kPieceBytes + 1, 3 * kPieceBytes + 5, 5'000'000));

TEST_F(LoadFileTest, UnreadablePathsFail) {
  const std::string real = write_file("real", {1, 2, 3});
  std::string with_nul = real;
  with_nul.push_back('\0');
  with_nul += "ignored";
  std::string long_missing = dir_;
  while (long_missing.size() < 3000) long_missing += "/.";
  long_missing += "/missing";
  MemoryBudget budget;
  for (const std::string& path : {dir_ + "/missing", dir_, std::string(), with_nul, long_missing, real + "/x"}) {
    SCOPED_TRACE(path.substr(0, 80));
    EXPECT_TRUE(load_in_steps(path, budget).failed);
  }
}

TEST_F(LoadFileTest, PathLongerThanTheInlineBuffer) {
  std::string path = dir_;
  while (path.size() < 3000) path += "/.";
  write_file("long", {9, 8, 7});
  path += "/long";
  MemoryBudget budget;
  EXPECT_EQ(load_in_steps(path, budget).content, (std::vector<std::uint8_t>{9, 8, 7}));
}

// The size asked for when the file is opened is only a hint: whatever the
// reads deliver afterwards is the content, exactly.
class FileChangedAfterSizing : public LoadFileTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileChangedAfterSizing, ShrunkFileGivesWhatIsLeft) {
  const auto bytes = random_bytes(GetParam(), 11);
  const std::string path = write_file("shrinks", bytes);
  const std::size_t left = GetParam() / 3 + 1;
  MemoryBudget budget;
  const Loaded r = load_in_steps(path, budget, nullptr, [&] { ASSERT_EQ(::truncate(path.c_str(), left), 0); });
  ASSERT_FALSE(r.failed);
  EXPECT_FALSE(r.in_place);
  EXPECT_EQ(r.content, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + left));
}

TEST_P(FileChangedAfterSizing, EmptiedFileGivesNothing) {
  const std::string path = write_file("emptied", random_bytes(GetParam(), 12));
  MemoryBudget budget;
  const Loaded r = load_in_steps(path, budget, nullptr, [&] { ASSERT_EQ(::truncate(path.c_str(), 0), 0); });
  ASSERT_FALSE(r.failed);
  EXPECT_TRUE(r.content.empty());
}

TEST_P(FileChangedAfterSizing, GrownFileGivesEverythingAppended) {
  const auto bytes = random_bytes(GetParam(), 13);
  const auto more = random_bytes(GetParam() / 2 + 70'000, 14);  // past the one-read probe
  const std::string path = write_file("grows", bytes);
  MemoryBudget budget;
  const Loaded r = load_in_steps(path, budget, nullptr, [&] {
    FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(more.data(), 1, more.size(), f), more.size());
    std::fclose(f);
  });
  ASSERT_FALSE(r.failed);
  EXPECT_FALSE(r.in_place);
  std::vector<std::uint8_t> full = bytes;
  full.insert(full.end(), more.begin(), more.end());
  EXPECT_EQ(r.content, full);
}

// One piece (read through the file position) and several (read at offsets).
INSTANTIATE_TEST_SUITE_P(OneOrManyPieces, FileChangedAfterSizing,
                         ::testing::Values(100'000, 3 * kPieceBytes + 12'345));

TEST_F(LoadFileTest, GrowthPastTheBudgetFailsTheFile) {
  const std::string path = write_file("grows", random_bytes(10'000, 15));
  const auto more = random_bytes(3'000'000, 16);
  MemoryBudget budget(2'000'000);  // twice the growth counts: 6 MB > 2 MB
  const Loaded r = load_in_steps(path, budget, nullptr, [&] {
    FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_EQ(std::fwrite(more.data(), 1, more.size(), f), more.size());
    std::fclose(f);
  });
  EXPECT_TRUE(r.failed);
}

TEST_F(LoadFileTest, NeverEndingDevicesStopAtTheBudget) {
  for (const char* device : {"/dev/zero", "/dev/urandom"}) {
    SCOPED_TRACE(device);
    MemoryBudget budget(64 << 20);
    EXPECT_TRUE(load_in_steps(device, budget).failed);
    // Everything taken was given back or freed with the failed content: a
    // small file still fits afterwards.
    MemoryBudget fresh(1 << 20);
    EXPECT_FALSE(load_in_steps("/proc/self/status", fresh).failed);
  }
}

TEST_F(LoadFileTest, BudgetIsSharedAndExact) {
  MemoryBudget budget(1000);
  EXPECT_TRUE(budget.charge(600));
  EXPECT_FALSE(budget.charge(401));
  EXPECT_TRUE(budget.charge(400));
  EXPECT_FALSE(budget.charge(1));
  budget.refund(500);
  EXPECT_TRUE(budget.charge(500));
  EXPECT_FALSE(budget.charge(UINT64_MAX));
}

TEST_F(LoadFileTest, ProcAndSysFilesGiveWhatTheirReadsDeliver) {
  // /proc files claim size 0 and /sys files a page, whatever they hold.
  MemoryBudget budget;
  const Loaded status = load_in_steps("/proc/self/status", budget);
  ASSERT_FALSE(status.failed);
  EXPECT_NE(std::string(status.content.begin(), status.content.end()).find("Name:"), std::string::npos);
  struct stat st;
  if (::stat("/sys/kernel/mm/transparent_hugepage/enabled", &st) == 0) {
    const Loaded sys = load_in_steps("/sys/kernel/mm/transparent_hugepage/enabled", budget);
    ASSERT_FALSE(sys.failed);
    EXPECT_GT(sys.content.size(), 0u);
    EXPECT_LT(sys.content.size(), 4096u);
    EXPECT_EQ(sys.content.back(), '\n');
  }
}

TEST_F(LoadFileTest, FifoWithoutWriterIsEmptyInsteadOfHanging) {
  const std::string path = make_fifo("quiet");
  MemoryBudget budget;
  const Loaded r = load_in_steps(path, budget);
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(r.content.size(), 0u);
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
  MemoryBudget budget;
  const Loaded r = load_in_steps(path, budget);
  writer.join();
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(r.content, bytes);
}

TEST_F(LoadFileTest, IdleFifoIsGivenUpSoonAfterCancel) {
  const std::string path = make_fifo("idle");
  // A writer that connects, writes a little and then neither writes nor
  // closes: without cancelling, the read would wait for ever.
  const int keep_open = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(keep_open, 0);
  ASSERT_EQ(::write(keep_open, "abc", 3), 3);
  CancelFlag cancel;
  MemoryBudget budget;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    cancel.request();
  });
  const auto start = std::chrono::steady_clock::now();
  const Loaded r = load_in_steps(path, budget, &cancel);
  const auto waited = std::chrono::steady_clock::now() - start;
  canceller.join();
  ::close(keep_open);
  EXPECT_TRUE(r.failed);
  EXPECT_GE(waited, std::chrono::milliseconds(140));
  EXPECT_LT(waited, std::chrono::milliseconds(150 + 10 * kWaitSliceMs));
}

TEST_F(LoadFileTest, CancelledBeforeReadingFailsEveryKindOfFile) {
  const std::string big = write_file("big", random_bytes(3 * kPieceBytes, 8));
  const std::string small = write_file("small", random_bytes(100, 9));
  CancelFlag cancel;
  cancel.request();
  MemoryBudget budget;
  for (const std::string& path : {big, small, std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(load_in_steps(path, budget, &cancel).failed);
  }
}

TEST_F(LoadFileTest, FileGrowingWhileReadGivesAPrefixOfItsFinalContent) {
  const auto initial = random_bytes(3'000'000, 1);
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
  MemoryBudget budget;
  for (int i = 0; i < 20; ++i) seen.push_back(load_in_steps(path, budget).content);
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
  MemoryBudget budget;
  for (int i = 0; i < 20; ++i) seen.push_back(load_in_steps(path, budget).content);
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
  const std::string big = write_file("big", random_bytes(2 * kPieceBytes + 1, 3));
  auto open_descriptors = [] {
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
    return n;
  };
  const int before = open_descriptors();
  MemoryBudget budget;
  MemoryBudget tiny(1);
  CancelFlag cancelled;
  cancelled.request();
  for (int i = 0; i < 50; ++i) {
    for (const std::string& path : {good, big, dir_, dir_ + "/missing"}) {
      (void)load_in_steps(path, budget);
      (void)load_in_steps(path, budget, &cancelled);
    }
    (void)load_in_steps("/dev/zero", tiny);
    FileLoad never_read;  // opened, sized, then dropped without its pieces
    never_read.open(big);
  }
  EXPECT_EQ(open_descriptors(), before);
}

// Asking for large pages and taking the request back must leave every byte
// as it was and the memory writable, whether the range is already filled,
// half filled or not yet touched, and whatever its alignment.
TEST(LargePages, RequestsNeverChangeContent) {
  constexpr std::size_t kBytes = 9 * platform::kLargePage;
  void* block = platform::map_pages(kBytes + platform::kLargePage);
  ASSERT_NE(block, nullptr);
  auto* base = static_cast<std::uint8_t*>(block);
  std::mt19937 random(7);
  for (std::size_t offset : {std::size_t{0}, std::size_t{4096}, std::size_t{12345}}) {
    std::uint8_t* range = base + offset;
    std::vector<std::uint8_t> expected(kBytes);
    for (auto& b : expected) b = static_cast<std::uint8_t>(random());
    // The first half is filled before the request, the second after it.
    std::memcpy(range, expected.data(), kBytes / 2);
    platform::ask_for_large_pages(range, kBytes, true);
    platform::prepare_for_writing(range + kBytes / 2, kBytes - kBytes / 2);
    std::memcpy(range + kBytes / 2, expected.data() + kBytes / 2, kBytes - kBytes / 2);
    platform::ask_for_large_pages(range, kBytes, false);
    EXPECT_EQ(std::memcmp(range, expected.data(), kBytes), 0) << "offset " << offset;
  }
  // Degenerate ranges are ignored.
  platform::ask_for_large_pages(base, 0, true);
  platform::ask_for_large_pages(base + 1, platform::kLargePage, true);
  platform::unmap_pages(block, kBytes + platform::kLargePage);
  // A byte count: whatever the system holds, never more than all memory.
  const std::uint64_t free_large = platform::free_large_page_bytes();
  EXPECT_EQ(free_large % platform::kLargePage, 0u);
  const auto pages = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES));
  EXPECT_LE(free_large, pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
}

}  // namespace
}  // namespace batchaugmentor::loading
