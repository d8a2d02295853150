// The logging facade: ordinary and error lines with the caller's file, function and line, to the system journal.
#pragma once

#define TESSALY_CORE_LOGGING_API __attribute__((visibility("default")))

namespace tessaly::logging {

// Two static operations, safe to call from any thread at once; they return promptly, report no failure and
// never call back into their caller. Each writes one line to the system journal with the caller's file,
// function and line as the fields CODE_FILE, CODE_FUNC and CODE_LINE: `log` at informational priority,
// `error` at error priority. With TESSALY_LOG=stderr the line goes to standard error instead: the priority
// prefix of the systemd convention ("<6>" for `log`, "<3>" for `error`), then the message text.
//
// `message` is a printf-style format filled from the values that follow `line`; a message without
// placeholders is written as it is.
class TESSALY_CORE_LOGGING_API CoreLogging {
 public:
  CoreLogging() = delete;

  static void log(const char* message, const char* filename, const char* function, long line, ...) noexcept;
  static void error(const char* message, const char* filename, const char* function, long line, ...) noexcept;
};

}  // namespace tessaly::logging
