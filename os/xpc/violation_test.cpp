// Peers that break the protocol or the limits: each loses its own connection, and nobody else notices.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tessaly/xpc/wire.h"
#include "test_support.h"

namespace tessaly::xpc::testing {
namespace {

constexpr std::size_t kSmallLimit = 64 * 1024;

// A frame with any header at all.
std::string rawFrame(std::uint8_t kind, const std::string& payload, std::uint8_t reserved = 0) {
  std::string out;
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(length >> (8 * i)));
  out.push_back(static_cast<char>(kind));
  out.push_back(static_cast<char>(reserved));
  out.append(2, '\0');
  return out + payload;
}

// What a message frame carries after its header.
std::string payloadOf(const std::string& frame) { return frame.substr(wire::kHeaderSize); }

TEST(Violation, EachKindInvalidatesOnlyTheOffendingConnection) {
  const std::string post = messageFrame("post:", {bytes("x")});
  const struct {
    const char* logged;  // what the log line says
    std::string bytes;
    Error expected;
  } violations[] = {
      {"unknown selector", messageFrame("nope:", {bytes("x")}), Error::protocol_violation},
      {"argument classes do not match the declaration", messageFrame("post:", {std::string("x")}),
       Error::protocol_violation},
      {"argument classes do not match the declaration", messageFrame("post:tag:", {bytes("x")}),
       Error::protocol_violation},
      {"reply block where none is declared", messageFrame("post:", {bytes("x")}, 5), Error::protocol_violation},
      {"declared reply block missing", messageFrame("echo:reply:", {bytes("x")}), Error::protocol_violation},
      {"reply to no outstanding message", wire::OutgoingFrame::reply(77, {bytes("x")}).flatten(),
       Error::protocol_violation},
      {"unknown frame kind", rawFrame(9, "abc"), Error::malformed_frame},
      {"reserved header bytes set", rawFrame(3, payloadOf(post), 1), Error::malformed_frame},
      {"truncated selector", rawFrame(3, std::string(8, '\0') + std::string("\x40\x00post:", 7)),
       Error::malformed_frame},
      {"argument lengths do not match the frame", rawFrame(3, payloadOf(post) + "tail"), Error::malformed_frame},
      {"string argument is not UTF-8", messageFrame("post:tag:", {bytes("x"), std::string("\xC0\x80")}),
       Error::malformed_frame},
      {"greeting after the handshake", helloFrame(), Error::malformed_frame},
      {"frame exceeds the maximum message size",
       messageFrame("post:", {bytes(std::string(kSmallLimit, 'x'))}).substr(0, wire::kHeaderSize),
       Error::message_too_large},
  };
  for (const auto& violation : violations) {
    SCOPED_TRACE(violation.logged);
    StandardErrorCapture log;
    Limits limits;
    limits.maxMessageSize = kSmallLimit;
    TestService service("com.tessaly.test", limits);
    std::atomic<int> invoked{0};
    service.methods().on("post:", [&](Invocation&) { ++invoked; }).on("post:tag:", [&](Invocation&) { ++invoked; });
    ASSERT_EQ(service.resume(), Error::none);

    RawPeer offender(service.listener().socketPath());
    ASSERT_TRUE(offender.handshake());
    ASSERT_TRUE(eventually([&] { return service.state().connections.size() == 1; }));
    TestClient bystander(service);
    ASSERT_EQ(bystander.echo("before"), "before");

    ASSERT_TRUE(offender.write(violation.bytes));
    EXPECT_TRUE(offender.closedByPeer());
    ASSERT_TRUE(eventually([&] { return service.connection(0)->invalidationReason() != Error::none; }));
    EXPECT_EQ(service.connection(0)->invalidationReason(), violation.expected);
    EXPECT_NE(log.text().find(std::string("invalidated: ") + violation.logged), std::string::npos) << log.text();
    EXPECT_EQ(invoked, 0);
    EXPECT_EQ(bystander.echo("after"), "after");
    EXPECT_EQ(bystander.interruptions() + bystander.invalidations(), 0);
  }
}

TEST(Violation, APeerThatDoesNotGreetIsDroppedWithoutReachingTheDelegate) {
  Limits limits;
  limits.handshakeTimeout = 300ms;
  TestService service("com.tessaly.test", limits);
  TestClient bystander(service.started());

  RawPeer messageFirst(service.listener().socketPath());
  ASSERT_TRUE(messageFirst.write(messageFrame("post:", {bytes("x")})));
  RawPeer wrongMagic(service.listener().socketPath());
  ASSERT_TRUE(wrongMagic.write(rawFrame(1, "XXXX\x01\0\0\0")));
  RawPeer silent(service.listener().socketPath());
  ASSERT_TRUE(silent.connected());

  EXPECT_TRUE(messageFirst.closedByPeer());
  EXPECT_TRUE(wrongMagic.closedByPeer());
  EXPECT_TRUE(silent.closedByPeer());
  EXPECT_EQ(bystander.echo("fine"), "fine");
  EXPECT_EQ(service.state().delegateCalls, 1);  // the bystander only
}

// A hand-made service that welcomes one client and then sends it what the test says.
class FakeService {
 public:
  explicit FakeService(const std::string& path) : listening_(listenAt(path)) {}
  ~FakeService() {
    ::close(peer_);
    ::close(listening_);
  }
  // Accepts the client, reads its greeting and answers it.
  bool welcome() {
    pollfd p{listening_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kPatience.count())) <= 0) return false;
    peer_ = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string hello(helloFrame().size(), '\0');
    return ::recv(peer_, hello.data(), hello.size(), MSG_WAITALL) == static_cast<ssize_t>(hello.size()) &&
           send(wire::OutgoingFrame::greeting(wire::FrameKind::welcome).flatten());
  }
  bool send(const std::string& bytes) {
    return ::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

 private:
  int listening_;
  int peer_ = -1;
};

TEST(Violation, AClientChecksWhatTheServiceSendsItToo) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"reply of the wrong class", wire::OutgoingFrame::reply(1, {std::string("text")}).flatten()},
      {"reply to no outstanding message", wire::OutgoingFrame::reply(2, {bytes("x")}).flatten()},
      {"selector the client does not export", messageFrame("echo:reply:", {bytes("x")}, 9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryDirectory directory;
    FakeService fake(directory.path() / "com.tessaly.fake");
    TestClient client("com.tessaly.fake", inDirectory(directory.path()));
    std::atomic<int> replies{0};
    client.proxy.send("echo:reply:", {bytes("q")}, [&](const Arguments&) { ++replies; });  // token 1
    ASSERT_TRUE(fake.welcome());
    ASSERT_TRUE(fake.send(c.bytes));
    ASSERT_TRUE(eventually([&] { return client.invalidations() == 1; }));
    EXPECT_EQ(client.connection->invalidationReason(), Error::protocol_violation);
    ASSERT_TRUE(eventually([&] { return client.errors().size() == 1; }));  // the echo can no longer be answered
    EXPECT_EQ(replies, 0);
  }
}

TEST(Limits, MessagesUpToTheMaximumPassAndLargerOnesInvalidateTheirConnection) {
  Limits limits;
  limits.maxMessageSize = kSmallLimit;
  TestService service("com.tessaly.test", limits);
  TestClient client(service.started());
  TestClient bystander(service);

  const std::size_t fits = kSmallLimit - wire::messagePayloadSize("echo:reply:", {Data{}}, true);
  const std::string largest(fits, 'a');
  EXPECT_EQ(client.echo(largest), largest);

  client.proxy.send("echo:reply:", {bytes(largest + "a")}, [](const Arguments&) {});
  ASSERT_TRUE(eventually([&] { return client.invalidations() == 1; }));
  EXPECT_EQ(client.connection->invalidationReason(), Error::message_too_large);
  EXPECT_EQ(client.awaitErrors(1), std::vector{Error::message_too_large});
  EXPECT_EQ(bystander.echo("unaffected"), "unaffected");
}

}  // namespace
}  // namespace tessaly::xpc::testing
