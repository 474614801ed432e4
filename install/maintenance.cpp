#include "install/maintenance.h"

#include "install/directory_check.h"
#include "install/repair.h"
#include "install/uninstallation.h"
#include "platform/sha256.h"
#include "install/installation_session.h"
#include "install/json_text.h"
#include "platform/path.h"
#include "platform/run_log.h"
#include "platform/text.h"

namespace {

std::string shown(const std::u16string& path) { return narrow_lib(printable(path)); }

// What the directory is compared with, and why there is nothing when so.
struct Reference {
  std::vector<RecordEntry> entries;
  InstallationRecord record;
  bool fromRecord = false;
  std::string failureCode;
  std::string failure;
};

Reference load_reference(const MaintenanceSettings& settings, const std::u16string& target,
                         KitReader& kit) {
  Reference reference;
  if (!settings.kitPath.empty()) {
    uint32_t result = kit.open(settings.kitPath);
    if (result == ERROR_SUCCESS) result = record_entries_of_kit(kit, reference.entries);
    if (result != ERROR_SUCCESS) {
      reference.failureCode = "kit-damaged";
      reference.failure = "the kit cannot be read: " + shown(settings.kitPath);
    }
    return reference;
  }
  const uint32_t read = read_installation_record(target, reference.record);
  if (read == ERROR_SUCCESS) {
    reference.entries = reference.record.entries;
    reference.fromRecord = true;
  } else if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) {
    reference.failureCode = "no-record";
    reference.failure = "no installation record in " + shown(target) + "; give the kit with --kit";
  } else {
    reference.failureCode = "record-damaged";
    reference.failure = "the installation record in " + shown(target) +
                        " cannot be trusted or read; give the kit with --kit";
  }
  return reference;
}

std::string counts_json(const DirectoryCheck& check) {
  return "{\"ok\":" + std::to_string(check.ok) + ",\"missing\":" + std::to_string(check.missing) +
         ",\"changed\":" + std::to_string(check.changed) +
         ",\"other_kind\":" + std::to_string(check.otherKind) + "}";
}

std::string entries_json(const DirectoryCheck& check) {
  std::string json = "[";
  for (size_t i = 0; i < check.differing.size(); ++i)
    json += std::string(i ? "," : "") + "{\"path\":" + quoted(check.differing[i].path) +
            ",\"state\":" + quoted(std::string(entry_state_code(check.differing[i].state))) + "}";
  return json + "]";
}

std::string verify_json(const std::u16string& target, const Reference& reference,
                        const DirectoryCheck& check, int status) {
  const char* outcome = !reference.failureCode.empty() ? "refused" : status == 0 ? "intact" : "differs";
  std::string json = "{\"schema\":1,\"verb\":\"verify\",\"outcome\":" + quoted(std::string(outcome)) +
                     ",\"exit_status\":" + std::to_string(status) + ",\"target\":" + quoted(target) +
                     ",\"reference\":" + quoted(std::string(reference.fromRecord ? "record" : "kit"));
  if (reference.fromRecord)
    json += ",\"kit\":{\"product\":" + quoted(reference.record.kit.product) +
            ",\"vendor\":" + quoted(reference.record.kit.vendor) +
            ",\"sha256\":" + quoted(reference.record.kit.sha256) +
            ",\"version\":" + quoted(reference.record.kit.version) + "}";
  json += ",\"counts\":" + counts_json(check) + ",\"entries\":" + entries_json(check);
  json += ",\"failure\":" +
          (reference.failureCode.empty()
               ? std::string("null")
               : "{\"code\":" + quoted(reference.failureCode) + ",\"reason\":" + quoted(reference.failure) + "}");
  return json + "}\n";
}

// Why an uninstallation did not happen, with the same codes as --verify:
// a fleet tool takes "no-record" as a directory with nothing to remove.
struct Refusal {
  std::string code;
  std::string reason;
};

Refusal uninstall_refusal(uint32_t result, const std::u16string& target, const UninstallOutcome& outcome) {
  if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND)
    return {"no-record", "no installation record in " + shown(target) + ": nothing to uninstall"};
  if (result == ERROR_INVALID_DATA)
    return {"record-damaged", "the installation record in " + shown(target) +
                                  " cannot be trusted or read; nothing was changed"};
  if (result == ERROR_LOCK_VIOLATION)
    return {"target-busy", "another run is using " + shown(target) + "; nothing was changed"};
  return {"failed", "the uninstallation failed at " +
                        error_event(shown(outcome.failedPath.empty() ? target : outcome.failedPath), result) +
                        " and was rolled back"};
}

std::string uninstall_failure_json(uint32_t result, const std::u16string& target,
                                   const UninstallOutcome& outcome) {
  if (result == ERROR_SUCCESS) return "null";
  const Refusal refusal = uninstall_refusal(result, target, outcome);
  return "{\"code\":" + quoted(refusal.code) + ",\"reason\":" + quoted(refusal.reason) + "}";
}

}  // namespace

int run_verify(const MaintenanceSettings& settings, FILE* out, FILE* err) {
  const std::u16string target = with_trailing_separator(settings.target);
  KitReader kit;
  const Reference reference = load_reference(settings, target, kit);
  DirectoryCheck check;
  int status = kExitStartupFailed;
  if (reference.failureCode.empty()) {
    check = check_directory(target, reference.entries);
    status = check.allOk() ? kExitSuccess : kExitDiffers;
  }
  log_event("verify " + narrow_lib(target) + ": exit status " + std::to_string(status));
  if (settings.json) {
    fputs(verify_json(target, reference, check, status).c_str(), out);
    return status;
  }
  if (!reference.failureCode.empty()) {
    fprintf(err, "ovn8setup: %s\n", reference.failure.c_str());
    return status;
  }
  for (const CheckedEntry& entry : check.differing)
    fprintf(out, "%-8s %s\n", entry_state_code(entry.state), shown(entry.path).c_str());
  fprintf(out, "%u entries: %u ok, %u missing, %u changed, %u of another kind, in %s\n",
          unsigned(reference.entries.size()), check.ok, check.missing, check.changed, check.otherKind,
          shown(target).c_str());
  return status;
}

int run_uninstall(const MaintenanceSettings& settings, FILE* out, FILE* err) {
  const std::u16string target = with_trailing_separator(settings.target);
  UninstallOutcome outcome;
  const uint32_t result = uninstall_directory(target, outcome);
  const bool refused = result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND ||
                       result == ERROR_INVALID_DATA || result == ERROR_LOCK_VIOLATION;
  const int status = result == ERROR_SUCCESS ? kExitSuccess : refused ? kExitStartupFailed : kExitInstallFailed;
  if (settings.json) {
    std::string kept = "[";
    for (size_t i = 0; i < outcome.keptChanged.size(); ++i)
      kept += std::string(i ? "," : "") + quoted(outcome.keptChanged[i]);
    // A successful removal always removed the record at least.
    fputs(("{\"schema\":1,\"verb\":\"uninstall\",\"outcome\":" +
           quoted(std::string(status == 0 ? "uninstalled" : refused ? "refused" : "failed")) +
           ",\"exit_status\":" + std::to_string(status) + ",\"changed\":" + boolean(status == 0) +
           ",\"target\":" + quoted(target) +
           ",\"counts\":{\"removed\":" + std::to_string(outcome.removedFiles) +
           ",\"folders_removed\":" + std::to_string(outcome.removedFolders) +
           ",\"changed_kept\":" + std::to_string(outcome.keptChanged.size()) +
           ",\"other_kept\":" + std::to_string(outcome.keptOther) + "},\"changed_kept\":" + kept +
           "],\"launcher_removed\":" + boolean(outcome.emptied) + ",\"error\":" +
           std::to_string(result) + ",\"failure\":" + uninstall_failure_json(result, target, outcome) +
           "}\n")
              .c_str(),
          out);
    return status;
  }
  if (result != ERROR_SUCCESS) {
    fprintf(err, "ovn8setup: %s\n", uninstall_refusal(result, target, outcome).reason.c_str());
    return status;
  }
  for (const std::u16string& path : outcome.keptChanged) fprintf(out, "kept     %s\n", shown(path).c_str());
  fprintf(out, "Uninstalled from %s: %u files removed, %u folders removed, %u changed files kept, %u other files kept%s\n",
          shown(target).c_str(), outcome.removedFiles, outcome.removedFolders,
          unsigned(outcome.keptChanged.size()), outcome.keptOther,
          outcome.emptied ? "; the directory is empty and no longer in the launcher's list" : "");
  return status;
}

int run_repair(const MaintenanceSettings& settings, FILE* out, FILE* err) {
  const std::u16string target = with_trailing_separator(settings.target);
  if (settings.kitPath.empty()) {
    fputs("ovn8setup: --repair needs the kit: --kit=FILE\n", err);
    return kExitStartupFailed;
  }
  KitReader kit;
  std::string sha256;
  if (kit.open(settings.kitPath) != ERROR_SUCCESS || sha256_of_file(settings.kitPath, sha256) != ERROR_SUCCESS) {
    fprintf(err, "ovn8setup: the kit cannot be read: %s\n", shown(settings.kitPath).c_str());
    return kExitStartupFailed;
  }
  RepairOutcome outcome;
  const uint32_t result = repair_directory(target, kit, sha256, outcome);
  const bool refused = result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND ||
                       result == ERROR_INVALID_DATA || result == ERROR_LOCK_VIOLATION;
  const int status = result == ERROR_SUCCESS ? kExitSuccess : refused ? kExitStartupFailed : kExitInstallFailed;
  if (result != ERROR_SUCCESS) {
    if (result == ERROR_INVALID_DATA)
      fprintf(err, "ovn8setup: %s has no trustworthy installation record of this kit; nothing was changed\n",
              shown(target).c_str());
    else if (refused)
      fprintf(err, "ovn8setup: nothing to repair in %s (error %u); nothing was changed\n", shown(target).c_str(),
              unsigned(result));
    else
      fprintf(err, "ovn8setup: the repair failed at %s and was rolled back\n",
              error_event(shown(outcome.failedPath), result).c_str());
    return status;
  }
  for (const auto& kept : outcome.keptAside)
    fprintf(out, "kept     %s as %s\n", shown(kept.first).c_str(), shown(kept.second).c_str());
  for (const std::u16string& path : outcome.restored) fprintf(out, "restored %s\n", shown(path).c_str());
  for (const std::u16string& path : outcome.notRepaired) fprintf(out, "left     %s\n", shown(path).c_str());
  fprintf(out, "Repaired %s: %u entries installed again, %u changed files kept aside, %u left as they are\n",
          shown(target).c_str(), unsigned(outcome.restored.size()), unsigned(outcome.keptAside.size()),
          unsigned(outcome.notRepaired.size()));
  return status;
}
