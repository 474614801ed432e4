// The session's outcome as one JSON object (docs/json-format.md).
#include <cstdio>
#include <string>

#include "install/installation_session.h"
#include "install/json_text.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace {

// One line: a reason read by a machine has no line breaks.
std::u16string one_line(std::u16string text) {
  for (char16_t& c : text)
    if (c == u'\n' || c == u'\r') c = u' ';
  return text;
}

const char* outcome_name(SessionOutcome::End end) {
  switch (end) {
    case SessionOutcome::End::kInstalled: return "installed";
    case SessionOutcome::End::kFailed: return "failed";
    case SessionOutcome::End::kCancelled: return "cancelled";
    case SessionOutcome::End::kRefused: return "refused";
    case SessionOutcome::End::kRepaired: return "repaired";
    case SessionOutcome::End::kRemoved: return "removed";
  }
  return "refused";
}

const char* action_name(EntryAction action) {
  switch (action) {
    case EntryAction::kInstall: return "install";
    case EntryAction::kReplace: return "replace";
    case EntryAction::kKeepNewer: return "keep-newer";
    case EntryAction::kUpToDate: return "up-to-date";
    case EntryAction::kUpdateTime: return "update-time";
  }
  return "install";
}

std::string launcher_json(const LauncherRecording& launcher) {
  std::string json = "{\"changed\":" + boolean(launcher.changed()) + ",\"files\":[";
  for (size_t i = 0; i < launcher.files.size(); ++i) {
    const LauncherFileUpdate& file = launcher.files[i];
    json += std::string(i ? "," : "") + "{\"path\":" + quoted(file.file) +
            ",\"updated\":" + boolean(file.error == 0) + ",\"error\":" + std::to_string(file.error) +
            ",\"reason\":" + quoted(file.reason) + "}";
  }
  return json + "]}";
}

std::string counts_json(const EntryCounts& counts) {
  return "{\"installed\":" + std::to_string(counts.installed) +
         ",\"replaced\":" + std::to_string(counts.replaced) +
         ",\"kept_newer\":" + std::to_string(counts.keptNewer) +
         ",\"up_to_date\":" + std::to_string(counts.upToDate) +
         ",\"time_updated\":" + std::to_string(counts.timeUpdated) + "}";
}

std::string failure_json(const SessionOutcome& outcome) {
  if (outcome.end == SessionOutcome::End::kInstalled || outcome.end == SessionOutcome::End::kRepaired ||
      outcome.end == SessionOutcome::End::kRemoved)
    return "null";
  const SessionMessage& failure = outcome.message;
  return "{\"code\":" + quoted(failure.code.empty() ? std::string("refused") : failure.code) +
         ",\"error\":" + std::to_string(failure.errorNumber) +
         ",\"file\":" + quoted_or_null(failure.file) + ",\"reason\":" + quoted(one_line(failure.text)) +
         "}";
}

std::string signature_json(const config::KitSignature& signature, bool checked) {
  if (!checked) return "null";
  return "{\"state\":" + quoted(std::string(config::signature_state_name(signature.state))) +
         ",\"required\":" + boolean(signature.required) + ",\"file\":" + quoted_or_null(signature.file) +
         ",\"signer\":" + (signature.signer.empty() ? "null" : quoted(signature.signer)) +
         ",\"key_id\":" + (signature.keyId.empty() ? "null" : quoted(signature.keyId)) +
         ",\"fingerprint\":" + (signature.fingerprint.empty() ? "null" : quoted(signature.fingerprint)) + "}";
}

std::string files_json(const std::vector<PlannedFile>& files) {
  std::string json = "[";
  for (size_t i = 0; i < files.size(); ++i)
    json += std::string(i ? "," : "") + "{\"path\":" + quoted(files[i].path) +
            ",\"action\":" + quoted(std::string(action_name(files[i].action))) + "}";
  return json + "]";
}

}  // namespace

std::string InstallationSession::resultJson(int exitStatus, bool withFiles) const {
  const SessionOutcome& outcome = outcome_;
  const bool opened = kit_.isOpen();
  uint32_t kitSize = 0;
  const bool sized = !kitPath_.empty() && FileSystem::GetFileSize(kitPath_, &kitSize) == 0;
  std::u16string product, vendor;
  if (opened) kitNames(product, vendor);
  // The window left before any run: the user cancelled, nothing was refused.
  const bool leftBeforeRun = exitStatus == kExitCancelled && outcome.end == SessionOutcome::End::kRefused &&
                             outcome.message.code.empty();
  const char* name = leftBeforeRun ? "cancelled" : outcome_name(outcome.end);
  std::string json = "{\"schema\":1,\"outcome\":" + quoted(std::string(name)) +
                     ",\"exit_status\":" + std::to_string(exitStatus) +
                     ",\"dry_run\":" + boolean(settings_.dryRun) +
                     ",\"changed\":" + boolean(outcome.changed);
  json += ",\"kit\":{\"path\":" + quoted_or_null(kitPath_) +
          ",\"size\":" + (sized ? std::to_string(kitSize) : std::string("null")) +
          ",\"product\":" + (opened ? quoted(product) : std::string("null")) +
          ",\"vendor\":" + (opened ? quoted(vendor) : std::string("null")) +
          ",\"entries\":" + (opened ? std::to_string(kit_.entries.size()) : std::string("null")) +
          ",\"version\":" + (opened ? quoted_or_null(kit_.kitVersion()) : std::string("null")) + "}";
  json += ",\"signature\":" + signature_json(signature_, signatureChecked_);
  json += ",\"target\":" + quoted_or_null(target_);
  json += ",\"counts\":" + counts_json(outcome.counts);
  json += ",\"launcher\":" + launcher_json(outcome.launcher);
  json += ",\"failure\":" + failure_json(outcome);
  if (withFiles) json += ",\"files\":" + files_json(outcome.files);
  return json + "}";
}
