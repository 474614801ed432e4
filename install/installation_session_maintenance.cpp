// The session's maintenance of an installation found in the target
// directory: knowing it is there, and repairing or removing it with the
// engine of the command line's --repair and --uninstall
// (install/repair.h, install/uninstallation.h) on the worker thread.
#include <time.h>

#include "install/installation_session.h"
#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/reasons.h"

namespace {

// The local date and time, as every language reads it.
std::u16string date_text(int64_t seconds) {
  const time_t when = time_t(seconds);
  struct tm local;
  if (localtime_r(&when, &local) == nullptr) return std::u16string();
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return widen_lib(text);
}

SessionMessage maintenance_failure(const char* key, const char* code, const std::u16string& file,
                                   uint32_t error) {
  SessionMessage message;
  message.text = LoadResString(key);
  if (!file.empty()) message.text += u"\n" + printable(file);
  message.text += u"\n" + failure_reason(error);
  message.code = code;
  message.file = file;
  message.errorNumber = error;
  return message;
}

// A list under its heading; long lists end in "…" with how many more.
std::u16string named_files(const char* heading, const std::vector<std::u16string>& paths) {
  const size_t kShown = 4;
  if (paths.empty()) return std::u16string();
  std::u16string text = u"\n\n" + LoadResString(heading);
  for (size_t i = 0; i < paths.size() && i < kShown; ++i) text += u"\n" + printable(paths[i]);
  if (paths.size() > kShown) text += u"\n\u2026 (+" + widen_lib(std::to_string(paths.size() - kShown)) + u")";
  return text;
}

std::u16string count_line(const char* key, size_t count) {
  return FormatResString(key, {widen_lib(std::to_string(count))});
}

}  // namespace

void InstallationSession::lookForInstallation() { installedKnown_ = false; }

// Only a record the directory's owner alone could have written, of the
// very kit at hand, is offered for repair or removal: another kit's
// record would have other files put back or taken away. A record of
// another size is another kit's without waiting for the digest.
const InstalledKit& InstallationSession::installedKit() const {
  if (installedKnown_) return installed_;
  installedKnown_ = true;
  installed_ = InstalledKit();
  InstallationRecord record;
  FileStatus kitStatus;
  if (target_.empty() || !kit_.isOpen() ||
      read_installation_record(with_trailing_separator(target_), record) != ERROR_SUCCESS ||
      file_status(kitSource(), kitStatus) != ERROR_SUCCESS || record.kit.size != kitStatus.size)
    return installed_;
  const std::string digest = kitSha256();
  if (digest.empty() || record.kit.sha256 != digest) return installed_;
  installed_.present = true;
  installed_.version = record.kit.version;
  installed_.installedAt = record.installedAt;
  return installed_;
}

std::u16string InstallationSession::installedText() const {
  if (!installedKit().present) return std::u16string();
  std::u16string text = LoadResString("IDS_MAINT_INSTALLED");
  if (!installed_.version.empty())
    text += u"\n" + FormatResString("IDS_MAINT_VERSION", {printable(installed_.version)});
  return text + u"\n" + FormatResString("IDS_MAINT_DATE", {date_text(installed_.installedAt)});
}

std::u16string InstallationSession::maintenanceSummary() const {
  const std::u16string folder = LoadResString("IDS_TEMPLATE_CATALOG") + u" " + printable(target_);
  if (outcome_.end == SessionOutcome::End::kRepaired) {
    std::vector<std::u16string> keptAside;
    for (const auto& kept : outcome_.repair.keptAside) keptAside.push_back(kept.first + u" \u2192 " + kept.second);
    return LoadResString("IDS_MAINT_REPAIRED") + u"\n\n" + folder + u"\n" +
           count_line("IDS_MAINT_RESTORED", outcome_.repair.restored.size()) +
           named_files("IDS_MAINT_KEPT_ASIDE", keptAside) +
           named_files("IDS_MAINT_NOT_REPAIRED", outcome_.repair.notRepaired);
  }
  if (outcome_.end == SessionOutcome::End::kRemoved)
    return LoadResString("IDS_MAINT_REMOVED") + u"\n\n" + folder + u"\n" +
           count_line("IDS_MAINT_REMOVED_COUNT", outcome_.removal.removedFiles) +
           named_files("IDS_MAINT_KEPT_CHANGED", outcome_.removal.keptChanged);
  return std::u16string();
}

SessionOutcome InstallationSession::repair(SessionView& view) { return runMaintenance(view, Job::kRepair); }

SessionOutcome InstallationSession::remove(SessionView& view) { return runMaintenance(view, Job::kRemove); }

SessionOutcome InstallationSession::runMaintenance(SessionView& view, Job job) {
  SessionOutcome outcome;
  lastRun_ = RunReport();
  cancelRequested_ = false;
  if (!installedKit().present) {
    outcome.message = maintenance_failure("IDS_MAINT_NONE", "no-installation", target_, ERROR_FILE_NOT_FOUND);
  } else if (recoverAndCheckFree(view, outcome)) {
    job_ = job;
    repaired_ = RepairOutcome();
    removed_ = UninstallOutcome();
    defer_stop_signals();
    runWorker(view);
    finishMaintenance(outcome);
    allow_stop_signals();
    job_ = Job::kInstall;
  }
  outcome_ = outcome;
  set_stop_signal_exit_status(outcome.exitStatus);
  lookForInstallation();
  return outcome;
}

// On the worker thread.
void InstallationSession::runJob() {
  const std::u16string target = with_trailing_separator(target_);
  if (job_ == Job::kRepair)
    repair_directory(target, kit_, kitSha256(), repaired_, &progress_);
  else
    uninstall_directory(target, removed_, &progress_);
}

void InstallationSession::finishMaintenance(SessionOutcome& outcome) {
  outcome.report = lastRun_;
  outcome.repair = repaired_;
  outcome.removal = removed_;
  const bool repairing = job_ == Job::kRepair;
  switch (lastRun_.result) {
    case ERROR_SUCCESS:
      outcome.end = repairing ? SessionOutcome::End::kRepaired : SessionOutcome::End::kRemoved;
      outcome.exitStatus = kExitSuccess;
      outcome.changed = repairing ? !repaired_.restored.empty() : removed_.removedFiles > 0;
      return;
    case ERROR_CANCELLED:
      outcome.end = SessionOutcome::End::kCancelled;
      outcome.exitStatus = kExitCancelled;
      outcome.message = SessionMessage::notice(LoadResString("IDS_MAINT_CANCELLED"));
      outcome.message.code = "cancelled";
      outcome.message.errorNumber = ERROR_CANCELLED;
      return;
    case ERROR_LOCK_VIOLATION:
      outcome.message = maintenance_failure("IDS_ERROR_TARGETBUSY", "target-busy", target_, ERROR_LOCK_VIOLATION);
      return;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      // The record went between the choice and the run.
      outcome.message = maintenance_failure("IDS_MAINT_NONE", "no-installation", target_, lastRun_.result);
      return;
    case ERROR_INVALID_DATA:
      // A record changed since the choice, or a streamed kit whose data
      // proved damaged: nothing was changed.
      if (kit_.refusalKind() != config::KitRefusal::kNone)
        outcome.message = kitDamagedMessage(ERROR_INVALID_DATA);
      else
        outcome.message = maintenance_failure("IDS_MAINT_NONE", "no-installation", target_, ERROR_INVALID_DATA);
      return;
    default:
      outcome.end = SessionOutcome::End::kFailed;
      outcome.exitStatus = kExitInstallFailed;
      outcome.message = maintenance_failure("IDS_MAINT_FAILED", repairing ? "repair-error" : "remove-error",
                                            lastRun_.failedPath, lastRun_.result);
      log_event(error_event(std::string(repairing ? "repair" : "removal") + " failed at " +
                                narrow_lib(lastRun_.failedPath) + "; rolled back",
                            lastRun_.result));
      return;
  }
}
