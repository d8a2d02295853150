#include "running_process.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include "deadline_runner.h"
#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::codesign::detail {
namespace {

namespace fs = std::filesystem;

TEST(RunningProcess, StatusTracerAndState) {
  struct Case {
    const char* text;
    char state;
    pid_t tracer;
  };
  const Case cases[] = {
      {"Name:\tsleeper\nState:\tS (sleeping)\nTracerPid:\t0\n", 'S', 0},
      {"State:\tt (tracing stop)\nTracerPid:\t4242\n", 't', 4242},
      {"State:\tT (stopped)\nTracerPid:\t0\n", 'T', 0},
      {"State:\tR (running)\nTracerPid:\tgarbage\n", 'R', -1},  // unreadable: taken as traced
  };
  for (const Case& c : cases) {
    ProcessFacts facts;
    parseStatus(c.text, facts);
    EXPECT_EQ(facts.state, c.state) << c.text;
    EXPECT_EQ(facts.tracer, c.tracer) << c.text;
  }
}

TEST(RunningProcess, LoaderVariables) {
  using namespace std::string_literals;
  EXPECT_FALSE(hasLoaderVariables("PATH=/usr/bin\0HOME=/root\0"s));
  EXPECT_FALSE(hasLoaderVariables("OLD_LD_PRELOAD=x\0XX_PRELOAD=/tmp/x.so\0"s));
  EXPECT_TRUE(hasLoaderVariables("PATH=/usr/bin\0LD_PRELOAD=/tmp/x.so\0"s));
  EXPECT_TRUE(hasLoaderVariables("LD_LIBRARY_PATH=/tmp\0"s));
  EXPECT_TRUE(hasLoaderVariables("A=1\0LD_AUDIT=/tmp/a.so"s));  // last entry without its terminator
  EXPECT_TRUE(hasLoaderVariables("GLIBC_TUNABLES=glibc.rtld.x=1\0"s));
}

TEST(RunningProcess, ExecutableMappingsAndWrittenPages) {
  const std::string maps =
      "55d0a0000000-55d0a0001000 r--p 00000000 fd:01 1234   /opt/peer/bin/peer\n"
      "55d0a0001000-55d0a0003000 r-xp 00001000 fd:01 1234   /opt/peer/bin/peer\n"
      "7f0000000000-7f0000010000 r-xp 00000000 08:12 99     /usr/lib/libwith space.so (deleted)\n"
      "7f0000020000-7f0000030000 rwxp 00000000 00:00 0 \n"
      "7ffd00000000-7ffd00002000 r-xp 00000000 00:00 0      [vdso]\n";
  using Mapping = std::tuple<std::uintptr_t, std::uintptr_t, dev_t, ino_t, std::string>;
  std::vector<Mapping> found;
  for (const ExecutableMapping& m : parseExecutableMappings(maps)) {
    found.emplace_back(m.start, m.end, m.device, m.inode, m.path);
  }
  EXPECT_EQ(found, (std::vector<Mapping>{
                       {0x55d0a0001000, 0x55d0a0003000, makedev(0xfd, 0x01), 1234, "/opt/peer/bin/peer"},
                       {0x7f0000000000, 0x7f0000010000, makedev(0x08, 0x12), 99, "/usr/lib/libwith space.so (deleted)"},
                       {0x7f0000020000, 0x7f0000030000, 0, 0, ""},
                       {0x7ffd00000000, 0x7ffd00002000, 0, 0, "[vdso]"}}));

  constexpr std::uint64_t present = 1ull << 63, swapped = 1ull << 62, file = 1ull << 61;
  const std::uint64_t fromTheFile[] = {present | file, 0, present | file | 0x1234};
  const std::uint64_t written[] = {present | file, present | 0x99};
  const std::uint64_t writtenThenSwapped[] = {0, swapped | 0x42};
  EXPECT_FALSE(hasPrivatePages(fromTheFile, 3));
  EXPECT_TRUE(hasPrivatePages(written, 2));
  EXPECT_TRUE(hasPrivatePages(writtenThenSwapped, 2));
}

TEST(RunningProcess, TrustedSystemFilesByOwnershipAndModes) {
  auto trusted = [](const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && isTrustedSystemFile(path.native(), info.st_dev, info.st_ino);
  };
  if (::geteuid() != 0) GTEST_SKIP() << "the folders made here must belong to root";
  testing::TemporaryDirectory scratch;  // under /tmp, which everybody may write to
  testing::writeFile(scratch.path() / "lib.so", "x");
  EXPECT_FALSE(trusted(scratch.path() / "lib.so"));

  // A root-owned tree that nobody else may write to, made inside a private folder of the build's own.
  const fs::path root = fs::current_path() / "trusted-files-test";
  fs::remove_all(root);
  fs::create_directories(root / "lib");
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
  testing::writeFile(root / "lib" / "good.so", "x");
  fs::permissions(root / "lib" / "good.so", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  for (fs::path folder = root;; folder = folder.parent_path()) {
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    if (info.st_uid != 0 || (info.st_mode & 022) != 0) GTEST_SKIP() << folder << " is writable by others";
    if (folder == folder.root_path()) break;
  }
  EXPECT_TRUE(trusted(root / "lib" / "good.so"));
  fs::permissions(root / "lib" / "good.so", fs::perms::others_write, fs::perm_options::add);
  EXPECT_FALSE(trusted(root / "lib" / "good.so")) << "a file others may write";
  fs::permissions(root / "lib" / "good.so", fs::perms::others_write, fs::perm_options::remove);
  fs::permissions(root / "lib", fs::perms::others_all | fs::perms::sticky_bit, fs::perm_options::add);
  EXPECT_FALSE(trusted(root / "lib" / "good.so")) << "in a sticky folder everybody may write";
  fs::permissions(root / "lib", fs::perms::others_write | fs::perms::sticky_bit, fs::perm_options::remove);
  fs::create_directory_symlink("lib", root / "via-link");
  EXPECT_FALSE(trusted(root / "via-link" / "good.so")) << "reached through a link";
  struct stat other {};
  ASSERT_EQ(::stat((scratch.path() / "lib.so").c_str(), &other), 0);
  EXPECT_FALSE(isTrustedSystemFile((root / "lib" / "good.so").native(), other.st_dev, other.st_ino))
      << "the path names another file";
  fs::remove_all(root);
}

// The deadline bounds work held up by another process, not work slowed by a busy machine: work that keeps a CPU
// busy (or waits for one) gets further budgets up to the limit; work asleep in the kernel is given up on at once.
TEST(DeadlineRunner, GivesUpOnBlockedWorkNotOnBusyWork) {
  using namespace std::chrono;
  auto spin = [](milliseconds length) {
    return [length] {
      const auto end = steady_clock::now() + length;
      while (steady_clock::now() < end) {}
    };
  };
  EXPECT_TRUE(runWithDeadline(spin(150ms), 20ms)) << "runnable work past its first budget";
  auto started = steady_clock::now();
  EXPECT_FALSE(runWithDeadline(spin(1500ms), 20ms)) << "runnable work past every budget";
  EXPECT_LT(steady_clock::now() - started, 1200ms);

  auto pipe = std::make_shared<std::array<int, 2>>();
  ASSERT_EQ(::pipe(pipe->data()), 0);
  started = steady_clock::now();
  EXPECT_FALSE(runWithDeadline(
      [pipe] {
        char byte;
        (void)!::read((*pipe)[0], &byte, 1);
      },
      20ms))
      << "work blocked on a read nobody answers";
  EXPECT_LT(steady_clock::now() - started, 300ms);
  ASSERT_EQ(::write((*pipe)[1], "x", 1), 1);  // lets the given-up read finish
}

}  // namespace
}  // namespace tessaly::codesign::detail
