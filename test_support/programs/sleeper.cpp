// A program that waits to be checked, for tests of running processes. Ends by itself after a minute.
//
//   sleeper                    just waits
//   sleeper --dlopen PATH      loads the library at PATH first (as a debugger's injection would)
//   sleeper --jit              maps anonymous executable memory (as a JIT compiler does)
//   sleeper --stall-memory FILE   makes every reader of its memory map wait as long as reads of FILE do: one
//                                 thread reads a mapping of FILE through /proc/self/mem, which holds the
//                                 memory map's lock while it waits, and another then asks for that lock to
//                                 change the map, which queues every later reader (/proc/PID/environ, smaps)
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <thread>

namespace {

void stallMemoryMap(const char* file) {
  const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
  const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapped = fd >= 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  if (mapped == MAP_FAILED) ::_exit(3);
  std::thread([mapped] {
    const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    char byte = 0;
    (void)!::pread(memory, &byte, 1, static_cast<off_t>(reinterpret_cast<std::uintptr_t>(mapped)));
  }).detach();
  ::usleep(200 * 1000);
  ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);  // waits behind the stalled reader
}

}  // namespace

int main(int argc, char** argv) {
  ::alarm(60);
  if (argc == 3 && std::strcmp(argv[1], "--dlopen") == 0 && ::dlopen(argv[2], RTLD_NOW) == nullptr) return 2;
  if (argc == 3 && std::strcmp(argv[1], "--stall-memory") == 0) stallMemoryMap(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--jit") == 0 &&
      ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED) {
    return 4;
  }
  for (;;) ::pause();
}
