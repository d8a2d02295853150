#include "connected_client.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace tessaly::broker {
namespace {

std::shared_ptr<xpc::Connection> unresumedConnection() {
  xpc::ServiceOptions options;
  options.directory = "/nonexistent-tessaly-test";
  return xpc::Connection::connectToService("com.tessaly.test", options);
}

class RecordingClient final : public XPCClient {
 public:
  void receive(const xpc::Data&, const std::string&) override {}
};

TEST(Uuid, TextIsCanonicalUpperCaseAndFresh) {
  const std::regex canonical("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = makeRequestIdentifier();
    ASSERT_EQ(text.size(), 36u);
    ASSERT_TRUE(std::regex_match(text, canonical)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(ConnectedClient, TearDownInvalidatesOnceAndDropsBoth) {
  const auto connection = unresumedConnection();
  ConnectedClient record(connection);
  EXPECT_EQ(record.client(), nullptr);
  record.attach(std::make_shared<RecordingClient>());
  ASSERT_NE(record.client(), nullptr);
  EXPECT_EQ(record.connection(), connection);

  record.tearDown();
  EXPECT_EQ(record.client(), nullptr);
  EXPECT_EQ(record.connection(), nullptr);
  EXPECT_EQ(connection->invalidationReason(), xpc::Error::connection_invalid);

  // A record whose connection is already gone only loses a proxy attached since.
  record.attach(std::make_shared<RecordingClient>());
  record.tearDown();
  EXPECT_EQ(record.client(), nullptr);
  EXPECT_EQ(record.connection(), nullptr);
}

}  // namespace
}  // namespace tessaly::broker
