// Temporary directories, whole-file reads and writes, and waiting for a condition, for every area's tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::testing {

using namespace std::chrono_literals;

// Generous: the machine running the tests may be busy.
inline constexpr std::chrono::milliseconds kPatience = 20s;

// A fresh directory under `parent` (the system's temporary directory by default), removed with everything in
// it on destruction. Throws when it cannot be made.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `file`, making its folders; throws on failure.
void writeFile(const std::filesystem::path& file, std::string_view bytes);
// The bytes of `file`, empty when there is none.
std::string readFile(const std::filesystem::path& file);

// The lines of `text`, without line feeds.
std::vector<std::string> lines(const std::string& text);
// The messages of log lines written to standard error (TESSALY_LOG=stderr), without their priority prefix.
std::vector<std::string> logMessages(const std::string& text);
// How many times `needle` occurs in `text`.
std::size_t occurrences(std::string_view text, std::string_view needle);

// Polls `condition` every few milliseconds until it holds (true) or `timeout` passes (false).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kPatience);

// Collects values from several threads.
template <typename T>
class Collected {
 public:
  void add(T value) {
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
  }
  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> values_;
};

}  // namespace tessaly::testing
