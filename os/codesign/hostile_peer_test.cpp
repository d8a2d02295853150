// Hostile peers: real processes running really signed programs, made to run other code than the signed one, or
// pointing the check at files that would hold it up. One test per way of attacking; each case names the
// defence that refuses it, and each group has a well-behaved case that must still pass.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include "tessaly/testing/child_process.h"
#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"
#include "tessaly/testing/dev_pki_test.h"
#include "code_layout.h"
#include "tessaly/testing/stalling_filesystem.h"
#include "identity_impl.h"
#include "openssl_support.h"
#include "tessaly/codesign/security.h"
#include "tessaly/codesign/signer.h"

extern char** environ;

namespace tessaly::codesign {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryDirectory;

constexpr const char* kPeerRequirement = "anchor apple generic and certificate leaf[subject.OU] = Q7RM2KX9WD";
constexpr const char* kSealedLibrary = "Contents/Frameworks/libpeer.so";

// Runs a check that must come back; if it does not within ten seconds, fails and unblocks it with `rescue`.
OSStatus bounded(const std::function<OSStatus()>& check, const std::function<void()>& rescue) {
  auto task = std::async(std::launch::async, check);
  if (task.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the check did not come back";
    rescue();
  }
  return task.get();
}

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string mapsOf(pid_t pid) {
  try {
    return testing::readFile("/proc/" + std::to_string(pid) + "/maps");
  } catch (const std::exception&) {
    return {};
  }
}

bool mapsMention(pid_t pid, const std::string& text) {
  return eventually([&] { return mapsOf(pid).find(text) != std::string::npos; });
}

// The scheduling state of `pid` (R, S, D, T, t, ...), '?' when unknown.
char stateOf(pid_t pid) {
  try {
    const std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t at = stat.rfind(')') + 2;
    return at < stat.size() ? stat[at] : '?';
  } catch (const std::exception&) {
    return '?';
  }
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

class HostilePeerTest : public testing::DevPkiTest {
 public:  // the cases below are functions of their own
  // A signed bundle around the sleeper, with a sealed library it may load.
  fs::path signedBundle(const std::string& name = "Peer", const std::optional<std::string>& entitlements = {}) {
    testing::BundleLayout layout;
    layout.name = name;
    layout.executable = testing::sleeperPath();
    layout.files = {{"Contents/Resources/strings.txt", "hello"}};
    // Each bundle in a folder of its own: cases leave FIFOs and links behind.
    const fs::path bundle = testing::makeBundle(work_.path() / std::to_string(++bundles_), layout);
    testing::copyExecutable(testing::unsignedLibraryPath(), bundle / kSealedLibrary);
    testing::sign(bundle, identity("developer-id"), std::nullopt, entitlements);
    return bundle;
  }
  static fs::path executableOf(const fs::path& bundle, const std::string& name = "Peer") {
    return bundle / "Contents/MacOS" / name;
  }

  // A library nobody signed, under this test's folder in /tmp (which everybody may write to).
  fs::path hostileLibrary() {
    const fs::path library = work_.path() / "hostile" / "libhostile.so";
    if (!fs::exists(library)) testing::copyExecutable(testing::unsignedLibraryPath(), library);
    return library;
  }

  static OSStatus check(pid_t pid, const char* requirementText = kPeerRequirement) {
    SecCodeRef code;
    OSStatus status = SecCodeCopyGuestWithAttributes(nullptr, {{std::string(kSecGuestAttributePid), pid}},
                                                     kSecCSDefaultFlags, &code);
    if (status != errSecSuccess) return status;
    SecRequirementRef requirement;
    EXPECT_EQ(SecRequirementCreateWithString(requirementText, kSecCSDefaultFlags, &requirement), errSecSuccess);
    return SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement);
  }

  static OSStatus checkPath(const fs::path& path, const char* requirementText = kPeerRequirement) {
    SecStaticCodeRef code;
    OSStatus status = SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code);
    if (status != errSecSuccess) return status;
    SecRequirementRef requirement;
    EXPECT_EQ(SecRequirementCreateWithString(requirementText, kSecCSDefaultFlags, &requirement), errSecSuccess);
    return SecStaticCodeCheckValidity(code, kSecCSDefaultFlags, requirement);
  }

  int bundles_ = 0;
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
                     const std::function<fs::path()>& makeBundle) {
  for (const ProcessCase& hostile : cases) {
    SCOPED_TRACE(std::string(hostile.what) + " [" + hostile.defence + "]");
    const fs::path bundle = makeBundle();
    Started started = hostile.start(test, bundle);
    ASSERT_TRUE(started.ready) << "the case could not be set up";
    EXPECT_EQ(bounded([&] { return HostilePeerTest::check(started.process.pid()); },
                      [&] { started.process.stop(); }),
              hostile.expected);
  }
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
  const bool ready = eventually([&] { return hasAnonymousCode(mapsOf(pid)); });
  return Started{std::move(child), ready};
}

// The signed program loads a library nobody signed, as a debugger's injection would make it.
Started loadsUnsignedLibrary(HostilePeerTest& test, const fs::path& bundle) {
  const fs::path library = test.hostileLibrary();
  ChildProcess child(HostilePeerTest::executableOf(bundle), {"--dlopen", library.native()});
  const bool ready = mapsMention(child.pid(), library.native());
  return Started{std::move(child), ready};
}

// A signed program started with the loader told to bring in other code.
TEST_F(HostilePeerTest, LoaderControl) {
  const fs::path libc = systemCLibrary();
  ASSERT_FALSE(libc.empty());
  const std::vector<ProcessCase> cases = {
      {"no loader variables", "-", errSecSuccess,
       [](HostilePeerTest&, const fs::path& bundle) { return Started{ChildProcess(executableOf(bundle))}; }},
      {"LD_PRELOAD of a system library", "environment", errSecCSGuestInvalid,
       [](HostilePeerTest&, const fs::path& bundle) {
         ChildProcess child(executableOf(bundle), {}, {"LD_PRELOAD=libm.so.6"});
         const bool ready = mapsMention(child.pid(), "libm.so.6");
         return Started{std::move(child), ready};
       }},
      {"LD_PRELOAD of an unsigned library that then hides the variable", "executable mappings",
       errSecCSGuestInvalid,
       [](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path library = test.hostileLibrary();
         ChildProcess child(executableOf(bundle), {}, {"LD_PRELOAD=" + library.native(), "TESSALY_SCRUB_PRELOAD=1"});
         const bool ready = mapsMention(child.pid(), library.native());
         return Started{std::move(child), ready};
       }},
      {"LD_LIBRARY_PATH to a folder with its own C library", "environment and executable mappings",
       errSecCSGuestInvalid,
       [&libc](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path folder = test.work() / "lib";
         if (!fs::exists(folder / "libc.so.6")) testing::copyExecutable(libc, folder / "libc.so.6");
         ChildProcess child(executableOf(bundle), {}, {"LD_LIBRARY_PATH=" + folder.native()});
         const bool ready = mapsMention(child.pid(), (folder / "libc.so.6").native());
         return Started{std::move(child), ready};
       }},
  };
  runProcessCases(*this, cases, [this] { return signedBundle(); });
}

// Code put into a signed program while it runs, and programs held by a tracer.
TEST_F(HostilePeerTest, InjectionAndTracing) {
  auto traceMeThenExec = [](const fs::path& program) {
    const pid_t pid = spawnPrepared(program, {}, [] { return ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0; });
    int status = 0;
    const bool stopped = pid > 0 && ::waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
    return std::pair{ChildProcess::adopt(pid), stopped};
  };
  const std::vector<ProcessCase> cases = {
      {"left alone", "-", errSecSuccess,
       [](HostilePeerTest&, const fs::path& bundle) { return Started{ChildProcess(executableOf(bundle))}; }},
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
         eventually([&] {
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
      {"an unsigned library loaded at run time", "executable mappings", errSecCSGuestInvalid,
       loadsUnsignedLibrary},
      {"code made at run time (anonymous executable memory)", "executable mappings", errSecCSGuestInvalid,
       makesCodeAtRunTime},
      {"started stopped for a tracer (PTRACE_TRACEME, then exec)", "tracer", errSecCSGuestInvalid,
       [&](HostilePeerTest&, const fs::path& bundle) {
         auto [child, stopped] = traceMeThenExec(executableOf(bundle));
         return Started{std::move(child), stopped};
       }},
      {"never ran: its tracer left it stopped", "stopped state", errSecCSGuestInvalid,
       [&](HostilePeerTest&, const fs::path& bundle) {
         auto [child, stopped] = traceMeThenExec(executableOf(bundle));
         const bool detached = stopped && ::ptrace(PTRACE_DETACH, child.pid(), nullptr, SIGSTOP) == 0;
         const pid_t pid = child.pid();
         return Started{std::move(child), detached && eventually([&] { return stateOf(pid) == 'T'; })};
       }},
  };
  runProcessCases(*this, cases, [this] { return signedBundle(); });
}

// A signature that allows code made at run time (the JIT entitlement) admits anonymous executable memory, and only
// that: a library nobody signed is still refused.
TEST_F(HostilePeerTest, JitEntitlement) {
  const std::string jit =
      "<plist version=\"1.0\"><dict><key>com.apple.security.cs.allow-jit</key><true/></dict></plist>";
  const std::vector<ProcessCase> cases = {
      {"code made at run time", "-", errSecSuccess,
       makesCodeAtRunTime},
      {"an unsigned library loaded at run time", "executable mappings", errSecCSGuestInvalid,
       loadsUnsignedLibrary},
  };
  runProcessCases(*this, cases, [&] { return signedBundle("Peer", jit); });
}

// The running files are not the files that were checked: swapped in for the launch and put back, or mounted over
// the sealed ones in a namespace the process made for itself.
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
         ChildProcess child(executableOf(bundle), {"--dlopen", (bundle / kSealedLibrary).native()});
         const bool ready = mapsMention(child.pid(), "libpeer.so");
         return Started{std::move(child), ready};
       }},
      {"a library swapped in for the launch and put back", "executable mappings", errSecCSGuestInvalid,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         return swapForLaunch(bundle / kSealedLibrary, test.hostileLibrary(), [&] {
           ChildProcess child(executableOf(bundle), {"--dlopen", (bundle / kSealedLibrary).native()});
           const bool ready = mapsMention(child.pid(), "libpeer.so");
           return Started{std::move(child), ready};
         });
       }},
      {"an executable swapped in for the launch and put back", "running executable", errSecCSStaticCodeChanged,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path impostor = test.work() / "impostor";
         testing::copyExecutable(testing::sleeperPath(), impostor);
         return swapForLaunch(executableOf(bundle), impostor, [&] {
           ChildProcess child(executableOf(bundle));
           return Started{std::move(child), true};
         });
       }},
      {"an unsigned library mounted over the sealed one in its own namespace", "executable mappings",
       errSecCSGuestInvalid,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         const pid_t pid = spawnPrepared(executableOf(bundle), {"--dlopen", (bundle / kSealedLibrary).native()},
                                         mountOver(test.hostileLibrary(), bundle / kSealedLibrary));
         ChildProcess child = ChildProcess::adopt(pid);
         const bool ready = mapsMention(pid, "libpeer.so");
         return Started{std::move(child), ready};
       }},
      {"an unsigned program mounted over the signed one in its own namespace", "running executable",
       errSecCSStaticCodeChanged,
       [&](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path impostor = test.work() / "impostor";
         testing::copyExecutable(testing::sleeperPath(), impostor);
         const pid_t pid = spawnPrepared(executableOf(bundle), {}, mountOver(impostor, executableOf(bundle)));
         ChildProcess child = ChildProcess::adopt(pid);
         const bool ready = eventually([&] { return mapsOf(pid).find("Peer") != std::string::npos; });
         return Started{std::move(child), ready};
       }},
  };
  runProcessCases(*this, cases, [this] { return signedBundle(); });
}

// A signed program in a user and pid namespace of its own, where it may forge the kernel's credentials of others
// in that namespace.
TEST_F(HostilePeerTest, ForeignPidNamespace) {
  const std::vector<ProcessCase> cases = {
      {"in our pid namespace", "-", errSecSuccess,
       [](HostilePeerTest&, const fs::path& bundle) { return Started{ChildProcess(executableOf(bundle))}; }},
      {"in a pid namespace of its own", "pid namespace", errSecCSGuestInvalid,
       [](HostilePeerTest&, const fs::path& bundle) {
         int report[2];
         if (::pipe(report) != 0) return Started{ChildProcess::adopt(-1), false};
         const fs::path program = executableOf(bundle);
         // The child makes the namespaces; its child is the namespace's first process and runs the program.
         const pid_t outer = ::fork();
         if (outer == 0) {
           if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) ::_exit(97);
           const pid_t inner = ::fork();
           if (inner == 0) {
             char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
             ::execve(program.c_str(), argv, environ);
             ::_exit(98);
           }
           (void)!::write(report[1], &inner, sizeof inner);
           ::waitpid(inner, nullptr, 0);
           ::_exit(0);
         }
         ::close(report[1]);
         pid_t inner = -1;
         const bool reported = ::read(report[0], &inner, sizeof inner) == sizeof inner;
         ::close(report[0]);
         const bool ready = reported && eventually([&] { return mapsOf(inner).find("Peer") != std::string::npos; });
         // Checked is the inner process; the outer one ends with it.
         Started started{ChildProcess::adopt(inner), ready};
         started.companion.emplace(ChildProcess::adopt(outer));
         return started;
       }},
  };
  runProcessCases(*this, cases, [this] { return signedBundle(); });
}

// The main thread of `pid` waits in the kernel without being interruptible (here: for its memory map's lock).
bool mainThreadBlocked(pid_t pid) { return stateOf(pid) == 'D'; }

// A process that stalls every reader of its memory map (a thread holds the map's lock while it waits for a FUSE
// read nobody answers, another queues for the lock after it): the check gives up on it in bounded time, again
// and again, and keeps serving well-behaved peers.
TEST_F(HostilePeerTest, StalledProcessReads) {
  testing::StallingFilesystem filesystem;
  if (!filesystem.mounted()) GTEST_SKIP() << "cannot mount a FUSE file system here";
  const fs::path bundle = signedBundle();
  ChildProcess staller(executableOf(bundle), {"--stall-memory", filesystem.file().native()});
  ASSERT_TRUE(eventually([&] { return mainThreadBlocked(staller.pid()); }));
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(bounded([&] { return check(staller.pid()); }, [&] { filesystem.unmount(); }), errSecCSGuestInvalid);
  }
  ChildProcess wellBehaved(executableOf(signedBundle("Other"), "Other"));
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
  // "escape" goes one level above that. Sealed by a signer that did not look where they lead.
  auto sealLinksAnyway = [](HostilePeerTest&, const fs::path& bundle) {
    fs::create_symlink("../..", bundle / "Contents/Resources/up");
    fs::create_symlink("up/..", bundle / "Contents/Resources/escape");
    std::optional<CodeDirectory> directory =
        parseCodeDirectory(testing::readFile(bundle / "Contents/_CodeSignature/CodeDirectory"));
    EXPECT_TRUE(directory);
    for (const auto& [path, target] : {std::pair{"Contents/Resources/escape", "up/.."},
                                       std::pair{"Contents/Resources/up", "../.."}}) {
      SealedResource link;
      link.path = path;
      link.isLink = true;
      link.linkTarget = target;
      directory->resources.push_back(link);
    }
    std::sort(directory->resources.begin(), directory->resources.end(),
              [](const SealedResource& a, const SealedResource& b) { return a.path < b.path; });
    Failure failure;
    auto signer = SigningIdentity::load(identity("developer-id"), &failure);
    const std::string text = serializeCodeDirectory(*directory);
    auto cms = detail::signDetached(text, signer->impl().key.get(), signer->impl().leaf.get(),
                                    signer->impl().intermediates);
    testing::writeFile(bundle / "Contents/_CodeSignature/CodeDirectory", text);
    testing::writeFile(bundle / "Contents/_CodeSignature/CodeSignature", *cms);
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
      {"a chain of sealed links that leaves the bundle", "links resolved beneath the bundle",
       errSecCSInvalidSymlink, sealLinksAnyway},
      {"the signature folder a link", "no links followed", errSecCSSignatureFailed,
       [](HostilePeerTest& test, const fs::path& bundle) {
         const fs::path elsewhere = test.work() / "signature-elsewhere";
         fs::rename(bundle / "Contents/_CodeSignature", elsewhere);
         fs::create_directory_symlink(elsewhere, bundle / "Contents/_CodeSignature");
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
    EXPECT_EQ(bounded([&] { return checkPath(bundle); }, unblock), hostile.expected) << "checked on disk";
    if (hostile.expected == errSecCSBadBundleFormat) continue;  // no bundle left to run
    ChildProcess running(executableOf(bundle));
    EXPECT_EQ(bounded([&] { return check(running.pid()); }, unblock), hostile.expected) << "checked running";
  }

  // Signing looks where links lead.
  const fs::path bundle = signedBundle("Linked");
  fs::create_symlink("../..", bundle / "Contents/Resources/up");
  fs::create_symlink("up/..", bundle / "Contents/Resources/escape");
  Failure failure;
  auto signer = SigningIdentity::load(identity("developer-id"), &failure);
  std::optional<Failure> refused = signCode(bundle, *signer, std::nullopt);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, errSecCSInvalidSymlink);
}

// Code under a signer nobody trusts is refused for that before any of its bytes are read: the status says
// which check came first.
TEST_F(HostilePeerTest, TrustBeforeWork) {
  TemporaryDirectory rogue;
  testing::makeDevPki(rogue.path());
  const fs::path tool = work_.path() / "rogue-tool";
  testing::copyExecutable(testing::sleeperPath(), tool);
  testing::sign(tool, rogue.path() / "identities" / "developer-id", "com.example.rogue");
  {
    ChildProcess running(tool);
    EXPECT_EQ(check(running.pid()), errSecCSReqFailed);
  }
  std::string bytes = testing::readFile(tool);
  bytes[bytes.size() / 4] ^= 1;  // sealed bytes that no longer match
  testing::writeFile(tool, bytes);
  EXPECT_EQ(checkPath(tool), errSecCSReqFailed);
  EXPECT_EQ(checkPath(tool, "always"), errSecCSSignatureFailed);  // the bytes are still checked when trusted
}

}  // namespace
}  // namespace tessaly::codesign
