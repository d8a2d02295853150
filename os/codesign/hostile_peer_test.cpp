// Hostile peers: real processes running really signed programs, made to run other code than the signed one, or
// pointing the check at files that would hold it up. Each case names the defence that refuses it.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <sstream>

#include "signed_code_test.h"
#include "tessaly/testing/stalling_filesystem.h"

extern char** environ;

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryDirectory;

constexpr const char* kPeerRequirement = "anchor apple generic and certificate leaf[subject.OU] = " TESSALY_AGENT_TEAM;

// Runs a check that must come back; if it does not within ten seconds, fails and unblocks it with `rescue`.
OSStatus bounded(const std::function<OSStatus()>& check, const std::function<void()>& rescue) {
  auto task = std::async(std::launch::async, check);
  if (task.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the check did not come back";
    rescue();
  }
  return task.get();
}

std::string mapsOf(pid_t pid) { return testing::readFile("/proc/" + std::to_string(pid) + "/maps"); }

bool mapsMention(pid_t pid, const std::string& text) {
  return testing::eventually([&] { return mapsOf(pid).find(text) != std::string::npos; });
}

// The scheduling state of `pid` (R, S, D, T, t, ...), '?' when unknown.
char stateOf(pid_t pid) {
  const std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t at = stat.rfind(')') + 2;
  return at < stat.size() && at > 1 ? stat[at] : '?';
}

// The C library this test runs on, as the loader found it.
fs::path systemCLibrary() {
  std::string maps = mapsOf(::getpid());
  const std::size_t at = maps.find("/libc.so.6");
  const std::size_t start = maps.rfind(' ', at) + 1;
  return maps.substr(start, at + 10 - start);
}

// Forks a child that runs `prepare` (system calls only) and then executes `program`; returns its pid.
pid_t spawnPrepared(const fs::path& program, const std::vector<std::string>& arguments,
                    const std::function<bool()>& prepare) {
  std::vector<std::string> storage{program.native()};
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!prepare()) ::_exit(97);
    ::execve(program.c_str(), argv.data(), environ);
    ::_exit(98);
  }
  return pid;
}

class HostilePeerTest : public SignedCodeTest {
 public:  // the cases below are functions of their own
  // A library nobody signed, under this test's folder in /tmp (which everybody may write to); an unsigned program.
  fs::path hostileLibrary() { return copied(testing::unsignedLibraryPath(), "hostile/libhostile.so"); }
  fs::path impostor() { return copied(testing::sleeperPath(), "impostor"); }
  fs::path copied(const fs::path& from, const char* name) {
    if (!fs::exists(work() / name)) testing::copyExecutable(from, work() / name);
    return work() / name;
  }
  static OSStatus check(pid_t pid) { return checkProcess(pid, kPeerRequirement); }
};

// What a case starts: the process to check and what must be true of it before it is checked.
struct Started {
  Started(ChildProcess child, bool isReady = true) : process(std::move(child)), ready(isReady) {}
  ChildProcess process;
  bool ready;
  std::optional<ChildProcess> companion;  // another process of the case
};

struct ProcessCase {
  const char* what;
  const char* defence;
  OSStatus expected;
  std::function<Started(HostilePeerTest& test, const fs::path& bundle)> start;
};

void runProcessCases(HostilePeerTest& test, const std::vector<ProcessCase>& cases,
                     const std::optional<std::string>& entitlements = std::nullopt) {
  for (const ProcessCase& hostile : cases) {
    SCOPED_TRACE(std::string(hostile.what) + " [" + hostile.defence + "]");
    const fs::path bundle = test.signedBundle("developer-id", {}, entitlements);
    Started started = hostile.start(test, bundle);
    ASSERT_TRUE(started.ready) << "the case could not be set up";
    EXPECT_EQ(bounded([&] { return HostilePeerTest::check(started.process.pid()); }, [&] { started.process.stop(); }),
              hostile.expected);
  }
}

// Takes over the child `pid` once its memory map names `text`.
Started adoptMapping(pid_t pid, const std::string& text) {
  return Started{ChildProcess::adopt(pid), mapsMention(pid, text)};
}

// Starts `program` and waits until its memory map names `text`.
Started startMapping(const fs::path& program, const std::string& text, const std::vector<std::string>& arguments = {},
                     const std::vector<std::string>& environment = {}) {
  ChildProcess child(program, arguments, environment);
  const bool ready = mapsMention(child.pid(), text);
  return Started{std::move(child), ready};
}

Started startPlain(HostilePeerTest&, const fs::path& bundle) {
  return Started{ChildProcess(HostilePeerTest::executableOf(bundle))};
}

// The signed program makes code of its own (anonymous executable memory), as a JIT compiler does.
Started makesCodeAtRunTime(HostilePeerTest&, const fs::path& bundle) {
  ChildProcess child(HostilePeerTest::executableOf(bundle), {"--jit"});
  const pid_t pid = child.pid();
  // An executable mapping of no file and no name ([vdso] has the same fields, but a name).
  const auto hasAnonymousCode = [](const std::string& maps) {
    std::istringstream lines(maps);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t at = line.find(" r-xp 00000000 00:00 0");
      if (at != std::string::npos && line.find_first_not_of(' ', at + 22) == std::string::npos) return true;
    }
    return false;
  };
  const bool ready = testing::eventually([&] { return hasAnonymousCode(mapsOf(pid)); });
  return Started{std::move(child), ready};
}

// The signed program loads a library nobody signed, as a debugger's injection would make it.
Started loadsUnsignedLibrary(HostilePeerTest& test, const fs::path& bundle) {
  const fs::path library = test.hostileLibrary();
  return startMapping(HostilePeerTest::executableOf(bundle), library.native(), {"--dlopen", library.native()});
}

// A signed program made to run other code: by the loader, a tracer, code loaded or made at run time, a pid namespace.
TEST_F(HostilePeerTest, SignedProgramsRunningOtherCode) {
  const fs::path libc = systemCLibrary();
  ASSERT_FALSE(libc.empty());
  auto traceMeThenExec = [](HostilePeerTest&, const fs::path& bundle) {
    const pid_t pid =
        spawnPrepared(executableOf(bundle), {}, [] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0; });
    int status = 0;
    const bool stopped = pid > 0 && ::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
    return Started{ChildProcess::adopt(pid), stopped};
  };
  const std::vector<ProcessCase> cases = {
      {"left alone", "-", errSecSuccess, startPlain},
      {"LD_PRELOAD of a system library", "environment", errSecCSGuestInvalid,
       [](HostilePeerTest&, const fs::path& bundle) {
         return startMapping(executableOf(bundle), "libm.so.6", {}, {"LD_PRELOAD=libm.so.6"});
       }},
      {"LD_PRELOAD of an unsigned library that then hides the variable", "executable mappings", errSecCSGuestInvalid,
       [](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path library = test.hostileLibrary();
         return startMapping(executableOf(bundle), library.native(), {},
                             {"LD_PRELOAD=" + library.native(), "TESSALY_SCRUB_PRELOAD=1"});
       }},
      {"LD_LIBRARY_PATH to a folder with its own C library", "environment and executable mappings",
       errSecCSGuestInvalid,
       [&libc](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path folder = test.work() / "lib";
         if (!fs::exists(folder / "libc.so.6")) testing::copyExecutable(libc, folder / "libc.so.6");
         return startMapping(executableOf(bundle), (folder / "libc.so.6").native(), {},
                             {"LD_LIBRARY_PATH=" + folder.native()});
       }},
      {"a debugger attached", "tracer", errSecCSGuestInvalid,
       [](HostilePeerTest&, const fs::path& bundle) {
         ChildProcess child(executableOf(bundle));
         const bool seized = ::ptrace(PTRACE_SEIZE, child.pid(), nullptr, nullptr) == 0;
         return Started{std::move(child), seized};
       }},
      {"code written through ptrace, then the debugger left", "written executable pages", errSecCSGuestInvalid,
       [](HostilePeerTest&, const fs::path& bundle) {
         ChildProcess child(executableOf(bundle));
         const pid_t pid = child.pid();
         // The first executable mapping of the program: rewrite one word with the bytes it already holds,
         // which is enough to give the process its own copy of the page.
         std::string maps;
         testing::eventually([&] {
           maps = mapsOf(pid);
           return maps.find("r-xp") != std::string::npos;
         });
         const std::size_t line = maps.rfind('\n', maps.find("r-xp")) + 1;
         const unsigned long address = std::stoul(maps.substr(line, maps.find('-', line) - line), nullptr, 16);
         int status = 0;
         bool ok = ::ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) == 0 && ::waitpid(pid, &status, 0) == pid;
         errno = 0;
         const long word = ::ptrace(PTRACE_PEEKTEXT, pid, reinterpret_cast<void*>(address), nullptr);
         ok = ok && errno == 0 &&
              ::ptrace(PTRACE_POKETEXT, pid, reinterpret_cast<void*>(address), reinterpret_cast<void*>(word)) == 0 &&
              ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr) == 0;
         return Started{std::move(child), ok};
       }},
      {"an unsigned library loaded at run time", "executable mappings", errSecCSGuestInvalid, loadsUnsignedLibrary},
      {"code made at run time (anonymous executable memory)", "executable mappings", errSecCSGuestInvalid,
       makesCodeAtRunTime},
      {"started stopped for a tracer (PTRACE_TRACEME, then exec)", "tracer", errSecCSGuestInvalid, traceMeThenExec},
      {"never ran: its tracer left it stopped", "stopped state", errSecCSGuestInvalid,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         Started started = traceMeThenExec(test, bundle);
         const pid_t pid = started.process.pid();
         started.ready = started.ready && ::ptrace(PTRACE_DETACH, pid, nullptr, SIGSTOP) == 0 &&
                         testing::eventually([&] { return stateOf(pid) == 'T'; });
         return started;
       }},
      {"in a pid namespace of its own", "pid namespace", errSecCSGuestInvalid,
       [](HostilePeerTest&, const fs::path& bundle) {
         int report[2];
         if (::pipe(report) != 0) return Started{ChildProcess::adopt(-1), false};
         // The child makes the namespaces; its child is the namespace's first process and runs the program.
         const pid_t outer = spawnPrepared(executableOf(bundle), {}, [&report] {
           if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return false;
           const pid_t inner = ::fork();
           if (inner == 0) return true;
           (void)!::write(report[1], &inner, sizeof inner);
           ::waitpid(inner, nullptr, 0);
           ::_exit(0);
         });
         ::close(report[1]);
         pid_t inner = -1;
         const bool reported = ::read(report[0], &inner, sizeof inner) == sizeof inner;
         ::close(report[0]);
         // Checked is the inner process; the outer one ends with it.
         Started started = reported ? adoptMapping(inner, "Peer") : Started{ChildProcess::adopt(-1), false};
         started.companion.emplace(ChildProcess::adopt(outer));
         return started;
       }},
  };
  runProcessCases(*this, cases);
}

// The JIT entitlement admits anonymous executable memory, and only that: a library nobody signed is still refused.
TEST_F(HostilePeerTest, JitEntitlement) {
  const std::string jit =
      "<plist version=\"1.0\"><dict><key>com.apple.security.cs.allow-jit</key><true/></dict></plist>";
  const std::vector<ProcessCase> cases = {
      {"code made at run time", "-", errSecSuccess, makesCodeAtRunTime},
      {"an unsigned library loaded at run time", "executable mappings", errSecCSGuestInvalid, loadsUnsignedLibrary},
  };
  runProcessCases(*this, cases, jit);
}

// Running files that are not the checked ones: swapped in for the launch and put back, or mounted over in a namespace.
TEST_F(HostilePeerTest, RunningFilesAreTheCheckedFiles) {
  auto swapForLaunch = [](const fs::path& sealed, const fs::path& impostor, const std::function<Started()>& launch) {
    const fs::path aside = sealed.native() + ".aside";
    fs::rename(sealed, aside);
    fs::copy_file(impostor, sealed);
    Started started = launch();
    fs::remove(sealed);
    fs::rename(aside, sealed);
    return started;
  };
  auto mountOver = [](const fs::path& source, const fs::path& target) {
    return [source, target] {
      return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
             ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    };
  };
  const std::vector<ProcessCase> cases = {
      {"its own sealed library loaded", "-", errSecSuccess,
       [](HostilePeerTest&, const fs::path& bundle) {
         return startMapping(executableOf(bundle), "libpeer.so", {"--dlopen", (bundle / kSealedLibrary).native()});
       }},
      {"a library swapped in for the launch and put back", "executable mappings", errSecCSGuestInvalid,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         return swapForLaunch(bundle / kSealedLibrary, test.hostileLibrary(), [&] {
           return startMapping(executableOf(bundle), "libpeer.so", {"--dlopen", (bundle / kSealedLibrary).native()});
         });
       }},
      {"an executable swapped in for the launch and put back", "running executable", errSecCSStaticCodeChanged,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         return swapForLaunch(executableOf(bundle), test.impostor(), [&] { return startPlain(test, bundle); });
       }},
      {"an unsigned library mounted over the sealed one in its own namespace", "executable mappings",
       errSecCSGuestInvalid,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         return adoptMapping(spawnPrepared(executableOf(bundle), {"--dlopen", (bundle / kSealedLibrary).native()},
                                           mountOver(test.hostileLibrary(), bundle / kSealedLibrary)),
                             "libpeer.so");
       }},
      {"an unsigned program mounted over the signed one in its own namespace", "running executable",
       errSecCSStaticCodeChanged,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         return adoptMapping(spawnPrepared(executableOf(bundle), {}, mountOver(test.impostor(), executableOf(bundle))),
                             "Peer");
       }},
  };
  runProcessCases(*this, cases);
}

// A process that stalls every reader of its memory map (its lock held across a FUSE read nobody answers): the check
// gives up on it in bounded time, again and again, and keeps serving well-behaved peers.
TEST_F(HostilePeerTest, StalledProcessReads) {
  testing::StallingFilesystem filesystem;
  if (!filesystem.mounted()) GTEST_SKIP() << "cannot mount a FUSE file system here";
  const fs::path bundle = signedBundle();
  ChildProcess staller(executableOf(bundle), {"--stall-memory", filesystem.file().native()});
  // Its main thread waits in the kernel without being interruptible, for its memory map's lock.
  ASSERT_TRUE(testing::eventually([&] { return stateOf(staller.pid()) == 'D'; }));
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(bounded([&] { return check(staller.pid()); }, [&] { filesystem.unmount(); }), errSecCSGuestInvalid);
  }
  ChildProcess wellBehaved(executableOf(signedBundle()));
  EXPECT_EQ(check(wellBehaved.pid()), errSecSuccess);
  filesystem.unmount();  // lets the reads that were given up on finish
}

struct FileCase {
  const char* what;
  const char* defence;
  OSStatus expected;
  std::function<fs::path(HostilePeerTest& test, const fs::path& bundle)> apply;  // returns a FIFO to unblock, or {}
};

// Files in a bundle that would hold the reader, and links that leave the bundle.
TEST_F(HostilePeerTest, BundleFilesAndLinks) {
  auto fifoAt = [](const char* relative) {
    return [relative](HostilePeerTest&, const fs::path& bundle) {
      const fs::path fifo = bundle / relative;
      fs::remove(fifo);
      EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
      return fifo;
    };
  };
  // Links that stay inside by their text but leave when followed: "up" leads to the bundle's folder, and
  // "escape" goes one level above that.
  auto makeLinksThatLeave = [](const fs::path& bundle) {
    fs::create_symlink("../..", bundle / "Contents/Resources/up");
    fs::create_symlink("up/..", bundle / "Contents/Resources/escape");
  };
  // The same links sealed by a signer that did not look where they lead.
  auto sealLinksAnyway = [&](HostilePeerTest&, const fs::path& bundle) {
    makeLinksThatLeave(bundle);
    std::optional<CodeDirectory> directory =
        parseCodeDirectory(testing::readFile(bundle / "Contents/_CodeSignature/CodeDirectory"));
    EXPECT_TRUE(directory);
    directory->resources.push_back(SealedResource{"Contents/Resources/escape", true, 0, {}, "up/.."});
    directory->resources.push_back(SealedResource{"Contents/Resources/up", true, 0, {}, "../.."});
    std::sort(directory->resources.begin(), directory->resources.end(),
              [](const SealedResource& a, const SealedResource& b) { return a.path < b.path; });
    const std::string text = serializeCodeDirectory(*directory);
    testing::writeFile(bundle / "Contents/_CodeSignature/CodeDirectory", text);
    testing::writeFile(bundle / "Contents/_CodeSignature/CodeSignature", signDirectory("developer-id", text));
    return fs::path();
  };
  const std::vector<FileCase> cases = {
      {"untouched", "-", errSecSuccess, [](HostilePeerTest&, const fs::path&) { return fs::path(); }},
      {"a FIFO at Contents/Info.plist", "regular files only, without blocking", errSecCSBadBundleFormat,
       fifoAt("Contents/Info.plist")},
      {"a FIFO as the code directory", "regular files only, without blocking", errSecCSSignatureFailed,
       fifoAt("Contents/_CodeSignature/CodeDirectory")},
      {"a FIFO as the signature", "regular files only, without blocking", errSecCSSignatureFailed,
       fifoAt("Contents/_CodeSignature/CodeSignature")},
      {"a FIFO among the resources", "regular files only", errSecCSBadResource, fifoAt("Contents/Resources/pipe")},
      {"a chain of sealed links that leaves the bundle", "links resolved beneath the bundle", errSecCSInvalidSymlink,
       sealLinksAnyway},
      {"the signature folder a link, even one that stays inside", "no links followed", errSecCSSignatureFailed,
       [](HostilePeerTest&, const fs::path& bundle) {
         fs::rename(bundle / "Contents/_CodeSignature", bundle / "Contents/Signature");
         fs::create_directory_symlink("Signature", bundle / "Contents/_CodeSignature");
         return fs::path();
       }},
  };
  for (const FileCase& hostile : cases) {
    SCOPED_TRACE(std::string(hostile.what) + " [" + hostile.defence + "]");
    const fs::path bundle = signedBundle();
    const fs::path fifo = hostile.apply(*this, bundle);
    auto unblock = [&] {
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    };
    EXPECT_EQ(bounded([&] { return checkPath(bundle, kPeerRequirement); }, unblock), hostile.expected)
        << "checked on disk";
    if (hostile.expected == errSecCSBadBundleFormat) continue;  // no bundle left to run
    ChildProcess running(executableOf(bundle));
    EXPECT_EQ(bounded([&] { return check(running.pid()); }, unblock), hostile.expected) << "checked running";
  }

  // Signing looks where links lead.
  const fs::path bundle = signedBundle();
  makeLinksThatLeave(bundle);
  Failure failure;
  auto signer = SigningIdentity::load(identity("developer-id"), &failure);
  std::optional<Failure> refused = signCode(bundle, *signer, std::nullopt);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, errSecCSInvalidSymlink);
}

// Code under a signer nobody trusts is refused for that before its bytes are read (the status says which came first).
TEST_F(HostilePeerTest, TrustBeforeWork) {
  TemporaryDirectory rogue;
  testing::makeDevPki(rogue.path());
  const fs::path tool = work() / "rogue-tool";
  testing::copyExecutable(testing::sleeperPath(), tool);
  testing::sign(tool, rogue.path() / "identities" / "developer-id", "com.example.rogue");
  {
    ChildProcess running(tool);
    EXPECT_EQ(check(running.pid()), errSecCSReqFailed);
  }
  flipBit(tool, fs::file_size(tool) / 4);  // sealed bytes that no longer match
  EXPECT_EQ(checkPath(tool, kPeerRequirement), errSecCSReqFailed);
  EXPECT_EQ(checkPath(tool, "always"), errSecCSSignatureFailed);  // the bytes are still checked when trusted
}

}  // namespace
}  // namespace tessaly::codesign
