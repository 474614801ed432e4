// The log of one run, for administrators: plain text appended to a file the
// command line names (--log=FILE), one line per event, each with its time.
//
// Any part of the program reports with log_event(); while no log is open
// the call does nothing, so callers need not ask first. Lines come from the
// interface thread and the installation worker; each is written whole with
// one append, so they never interleave.
//
// A log that cannot be written must not stop an installation: the first
// failure goes to the failure reporter once, and every later line is
// dropped.
#ifndef OVN8_PLATFORM_RUN_LOG_H_
#define OVN8_PLATFORM_RUN_LOG_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class RunLog {
 public:
  RunLog() = default;
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Opens `path` (UTF-8) for appending; a new file gets mode 0600 (the log
  // names the user's directories). 0 or the error number; a failed open is
  // reported to the failure reporter too.
  uint32_t open(const std::string& path);
  void close();
  bool isOpen() const;
  // True once a line could not be written (or the file not opened).
  bool failed() const;
  // The id every line of this process carries; empty until opened.
  std::string runId() const;

  // Called once, at the first failure, with the file's path and the
  // system's reason ("No space left on device"). Set it before open.
  void setFailureReporter(std::function<void(const std::string&, const std::string&)> reporter);

  // Appends "<local time, RFC 3339> pid=<process id> run=<run id> <text>"
  // and a line feed; the run id (eight hex digits) is the same for every
  // line of this process. The text is
  // written printable (platform/text.h: a line break inside it as "\n",
  // other controls and bytes that are no UTF-8 escaped, a backslash
  // doubled), so that every event stays one line and no name in it reaches
  // a terminal that shows the log as anything but text.
  void write(const std::string& text);

 private:
  void fail(const std::string& reason);

  mutable std::mutex mutex_;
  int fd_ = -1;
  bool failed_ = false;
  std::string path_;
  std::string runId_;
  std::function<void(const std::string&, const std::string&)> reporter_;
};

// The log of this process.
RunLog& run_log();

// Writes `text` to the process's log when one is open.
void log_event(const std::string& text);
void log_event(const std::u16string& text);

// What an error number means, in a few English words ("file not found"); a
// system error without a Win32 number is told by the system's message.
std::string error_text(uint32_t error);
// The system's message for an errno value, in the locale's language.
std::string system_message(int errnoValue);

// "<text>: <error_text> (error <number>)", the form every logged failure has.
std::string error_event(const std::string& text, uint32_t error);

#endif  // OVN8_PLATFORM_RUN_LOG_H_
