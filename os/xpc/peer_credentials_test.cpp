// Hostile peers that try to speak on a connection admitted for another process: children that keep the socket,
// bytes queued before the welcome by the program that held the process identifier before the checked one, and
// credentials forged for a process that has ended. Every case runs real processes; only system calls run in
// them after fork.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "test_support.h"

namespace tessaly::xpc::testing {
namespace {

struct Scene {
  int socket;  // connected to the service
  int report;  // write 'C' when the service closed the socket, 'O' when it did not
  std::string hello;
  std::string welcome;
  std::string post;  // a "post:" message
};

// Waits up to two seconds for the service to close the socket; reads past anything it sends first.
bool closedByService(int fd) {
  char buffer[256];
  for (int waited = 0; waited < 2000; waited += 20) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return false;
}

bool readWelcome(const Scene& scene) {
  char buffer[64];
  return ::recv(scene.socket, buffer, scene.welcome.size(), MSG_WAITALL) == static_cast<ssize_t>(scene.welcome.size());
}

void sendAll(int fd, const std::string& bytes) { (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

void reportClosure(const Scene& scene) { (void)!::write(scene.report, closedByService(scene.socket) ? "C" : "O", 1); }

// Sends `bytes` with credentials that name `pid` (allowed to root only).
void sendAs(int fd, pid_t pid, const std::string& bytes) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  iovec vector{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_CREDENTIALS;
  header->cmsg_len = CMSG_LEN(sizeof(ucred));
  const ucred credentials{pid, ::getuid(), ::getgid()};
  std::memcpy(CMSG_DATA(header), &credentials, sizeof credentials);
  (void)!::sendmsg(fd, &message, MSG_NOSIGNAL);
}

struct HostileCase {
  const char* what;
  bool needsRoot;
  int expectedPosts;  // messages the service handles (from the admitted process itself)
  void (*play)(const Scene& scene);
};

const HostileCase kCases[] = {
    {"a child greets on its parent's connection", false, 0,
     [](const Scene& scene) {
       const pid_t child = ::fork();
       if (child == 0) {
         sendAll(scene.socket, scene.hello);
         ::_exit(0);
       }
       ::waitpid(child, nullptr, 0);
       reportClosure(scene);
     }},
    {"a child that kept the socket speaks after the parent was admitted", false, 1,
     [](const Scene& scene) {
       sendAll(scene.socket, scene.hello);
       if (!readWelcome(scene)) return;
       sendAll(scene.socket, scene.post);  // the admitted process itself: handled
       const pid_t child = ::fork();
       if (child == 0) {
         sendAll(scene.socket, scene.post);
         ::_exit(0);
       }
       ::waitpid(child, nullptr, 0);
       reportClosure(scene);
     }},
    {"messages queued before the welcome, then a child keeps the socket and the parent runs another program", false, 0,
     [](const Scene& scene) {
       sendAll(scene.socket, scene.hello + scene.post);
       const pid_t child = ::fork();
       if (child == 0) {
         reportClosure(scene);
         ::_exit(0);
       }
       char sleepPath[] = "/bin/sleep";
       char seconds[] = "5";
       char* argv[] = {sleepPath, seconds, nullptr};
       ::execv(sleepPath, argv);
     }},
    {"credentials forged for the admitted process after it ended", true, 0,
     [](const Scene& scene) {
       sendAll(scene.socket, scene.hello);
       if (!readWelcome(scene)) return;
       const pid_t admitted = ::getpid();
       if (::fork() == 0) {
         // The admitted process is now a zombie: its identifier still names it, but it has ended.
         while (::getppid() == admitted) ::usleep(1000);
         sendAs(scene.socket, admitted, scene.post);
         reportClosure(scene);
         ::_exit(0);
       }
       ::_exit(0);  // not reaped by the test until the end
     }},
};

TEST(PeerCredentials, OnlyTheAdmittedProcessSpeaksOnItsConnection) {
  for (const HostileCase& hostile : kCases) {
    SCOPED_TRACE(hostile.what);
    if (hostile.needsRoot && ::geteuid() != 0) continue;
    TestService service;
    ASSERT_EQ(service.resume(), Error::none);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const sockaddr_un address = socketAddress(service.listener().socketPath());
    const Scene scene{-1, report[1], helloFrame(), wire::OutgoingFrame::greeting(wire::FrameKind::welcome).flatten(),
                      messageFrame("post:", {bytes("hello")})};
    const pid_t player = ::fork();
    ASSERT_GE(player, 0);
    if (player == 0) {
      ::close(report[0]);
      Scene own = scene;
      own.socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::connect(own.socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
      hostile.play(own);
      ::_exit(0);
    }
    ::close(report[1]);
    char verdict = '?';
    pollfd p{report[0], POLLIN, 0};
    if (::poll(&p, 1, 10000) > 0) (void)!::read(report[0], &verdict, 1);
    ::close(report[0]);
    EXPECT_EQ(verdict, 'C') << "the service kept the connection open";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(static_cast<int>(service.state().posts.size()), hostile.expectedPosts);
    ::kill(player, SIGKILL);
    ::waitpid(player, nullptr, 0);
  }
}

}  // namespace
}  // namespace tessaly::xpc::testing
