// Test helper: makes a chosen file operation fail without touching the disk.
//
// While a FileFaultInjector lives, every FileSystem operation is counted
// (optionally only operations of chosen kinds, optionally only those whose
// path lies below a prefix), and the k-th counted one returns the chosen
// error instead of running. A fault sweep runs the code under test with
// k = 1, 2, 3, ... until a run finishes without the fault having fired:
//
//   for (uint64_t k = 1;; ++k) {
//     prepare();
//     FileFaultInjector fault(k, errorFromErrNo(ENOSPC));
//     uint32_t result = runUnderTest();
//     if (!fault.fired()) break;  // every operation has been failed once
//     check_nothing_lost(result);
//   }
//
// A test that must decide from the operation and its path, or act at a
// chosen moment (take a file away, note what was asked), gives an answer
// function: it sees every operation of the chosen kinds and paths first, and
// what it returns other than 0 fails that operation as the system would
// (a file system without unnamed files, a folder that may not be written);
// such an operation is not counted and does not fire. All of a test's
// fault hooks are such injectors.
//
// One injector at a time; it removes the hook when destroyed. The
// counters are atomic, so the code under test may run on another thread.
#ifndef OVN8_PLATFORM_FILE_FAULT_INJECTOR_H_
#define OVN8_PLATFORM_FILE_FAULT_INJECTOR_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/file_system.h"

class FileFaultInjector {
 public:
  // Fails the `failAt`-th counted operation (1-based) with `error`; with
  // `failAt` 0 nothing fails and operations are only counted.
  explicit FileFaultInjector(uint64_t failAt = 0, uint32_t error = ERROR_INVALID_PARAMETER)
      : m_failAt(failAt), m_error(error) {
    FileSystem::SetFaultHook(&FileFaultInjector::hook, this);
  }
  ~FileFaultInjector() { FileSystem::SetFaultHook(nullptr, nullptr); }
  FileFaultInjector(const FileFaultInjector&) = delete;
  FileFaultInjector& operator=(const FileFaultInjector&) = delete;

  // Counts only operations of these kinds.
  FileFaultInjector& only(std::initializer_list<FileOp> ops) {
    m_ops.assign(ops.begin(), ops.end());
    return *this;
  }
  // Counts only operations whose path is `prefix` or lies below it.
  FileFaultInjector& below(const std::u16string& prefix) {
    m_prefix = prefix;
    return *this;
  }
  // Does not count operations whose path holds `fragment` (the wizard's own
  // private folder, say, when a test counts the files of a run's entries);
  // each call adds one.
  FileFaultInjector& skipping(const std::u16string& fragment) {
    m_skipped.push_back(fragment);
    return *this;
  }
  // After the k-th, every later counted operation fails too (a disk that
  // stays full, a medium that is gone).
  FileFaultInjector& persistent() {
    m_persistent = true;
    return *this;
  }

  // Asks `answer` about every operation of the chosen kinds and paths first.
  typedef std::function<uint32_t(FileOp op, const std::u16string& path)> Answer;
  FileFaultInjector& answering(Answer answer) {
    m_answer = std::move(answer);
    return *this;
  }

  // Counted operations so far, the failed ones included.
  uint64_t count() const { return m_count.load(); }
  // Whether the failure has been injected.
  bool fired() const { return m_fired.load(); }
  // The kind of operation that was failed first (meaningful once fired).
  FileOp firedOp() const { return m_firedOp.load(); }

 private:
  static uint32_t hook(FileOp op, const std::u16string& path, void* context) {
    return static_cast<FileFaultInjector*>(context)->decide(op, path);
  }

  uint32_t decide(FileOp op, const std::u16string& path) {
    if (!counts(op, path)) return 0;
    if (m_answer) {
      const uint32_t answered = m_answer(op, path);
      if (answered != 0) return answered;
    }
    uint64_t number = ++m_count;
    bool fail = m_failAt != 0 && (number == m_failAt || (m_persistent && number > m_failAt));
    if (!fail) return 0;
    if (!m_fired.exchange(true)) m_firedOp = op;
    return m_error;
  }

  bool counts(FileOp op, const std::u16string& path) const {
    if (!m_ops.empty()) {
      bool chosen = false;
      for (FileOp kind : m_ops) chosen = chosen || kind == op;
      if (!chosen) return false;
    }
    for (const std::u16string& fragment : m_skipped)
      if (path.find(fragment) != std::u16string::npos) return false;
    return m_prefix.empty() || isBelowPrefix(path);
  }

  bool isBelowPrefix(const std::u16string& path) const {
    if (path.compare(0, m_prefix.size(), m_prefix) != 0) return false;
    return path.size() == m_prefix.size() || m_prefix.back() == u'/' ||
           path[m_prefix.size()] == u'/';
  }

  const uint64_t m_failAt;
  const uint32_t m_error;
  std::vector<FileOp> m_ops;
  std::u16string m_prefix;
  std::vector<std::u16string> m_skipped;
  bool m_persistent = false;
  Answer m_answer;
  std::atomic<uint64_t> m_count{0};
  std::atomic<bool> m_fired{false};
  std::atomic<FileOp> m_firedOp{FileOp::CreateFile};
};

// The answer of a file system that cannot make files without a name.
inline uint32_t without_unnamed_files(FileOp op, const std::u16string&) {
  return op == FileOp::CreateUnnamedFile ? uint32_t(ERROR_NOT_SUPPORTED) : 0u;
}

#endif  // OVN8_PLATFORM_FILE_FAULT_INJECTOR_H_
