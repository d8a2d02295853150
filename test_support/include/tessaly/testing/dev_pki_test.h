// A GoogleTest fixture whose suite shares one development authority, trusted while its tests run.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "tessaly/testing/files.h"
#include "tessaly/testing/signed_peers.h"

namespace tessaly::testing {

class DevPkiTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    pki_ = new TemporaryDirectory();
    makeDevPki(pki_->path());
    trustDevPki();
  }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  static void trustDevPki() { ::setenv("TESSALY_TRUST_ANCHORS", (pki_->path() / "anchors").c_str(), 1); }
  static std::filesystem::path identity(const char* name) { return pki_->path() / "identities" / name; }
  // A fresh folder of this test, removed with everything in it afterwards.
  const std::filesystem::path& work() const { return work_.path(); }

 protected:
  inline static TemporaryDirectory* pki_ = nullptr;
  TemporaryDirectory work_;
};

}  // namespace tessaly::testing
