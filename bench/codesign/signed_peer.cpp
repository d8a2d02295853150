// A peer for the connection benchmark: waits until its standard input ends, then opens COUNT connections to the
// service socket at PATH, greets on each and writes one byte to standard output for every welcome it reads.
// Speaks the IPC wire format by hand so that it maps nothing but the C library.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  char ignored;
  while (::read(STDIN_FILENO, &ignored, 1) > 0) {}
  // Header: payload length 8, kind 1 (hello); greeting "TXPC", version 1.
  const unsigned char hello[16] = {8, 0, 0, 0, 1, 0, 0, 0, 'T', 'X', 'P', 'C', 1, 0, 0, 0};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  const int count = std::atoi(argv[2]);
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    if (::write(fd, hello, sizeof hello) != static_cast<ssize_t>(sizeof hello)) return 1;
    unsigned char welcome[16];
    if (::recv(fd, welcome, sizeof welcome, MSG_WAITALL) != static_cast<ssize_t>(sizeof welcome)) return 1;
    if (::write(STDOUT_FILENO, "w", 1) != 1) return 1;
  }
  for (;;) ::pause();
}
