#include "install/installation_session.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "config/config_file.h"
#include "config/config_paths.h"
#include "config/launcher_record.h"
#include "install/installer.h"
#include "install/leftovers.h"
#include "install/recovery.h"
#include "install/same_content.h"
#include "install/target_lock.h"
#include "install/up_to_date.h"
#include "install/wizard_paths.h"
#include "platform/existing_level.h"
#include "platform/file_finder.h"
#include "platform/file_system.h"
#include "platform/write_watch.h"
#include "platform/path.h"
#include "platform/private_temp.h"
#include "platform/run_log.h"
#include "platform/stop_signals.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/reasons.h"
#include "resources/version.h"

namespace {

std::u16string count_text(uint64_t count) { return widen_lib(std::to_string(count)); }

SessionMessage error_message(const std::u16string& text, const char* code,
                             const std::u16string& file = std::u16string(), uint32_t error = 0) {
  SessionMessage message;
  message.text = text;
  message.code = code;
  message.file = file;
  message.errorNumber = error;
  return message;
}

// A directory put back as it was is news; kept files, a record that cannot
// be read or a directory not put back whole are for the user to act on,
// wherever the stopped run was found.
SessionMessage recovery_message(const RecoveryNotice& notice) {
  const bool plain = notice.kind == RecoveryNotice::Kind::kRestored && notice.paths.empty();
  return SessionMessage::notice(recovery_notice_text(notice), !plain);
}

// What a link names counts: a dangling link to the kit is a missing kit.
bool kit_exists(const std::u16string& path) {
  FileStatus status;
  return !path.empty() && FileSystem::GetFileStatus(path, true, status) == ERROR_SUCCESS &&
         status.exists();
}

const char kNotWritable[] = "IDS_SETUP_TARGETNOTWRITABLE";

// What is wrong with a damaged kit, in the interface language; an entry is
// named as it would lie in the template directory.
std::u16string kit_refusal_text(config::KitRefusal kind, const std::u16string& entry) {
  std::u16string name = entry;
  replace_all(name, kBadPathSeparator, kPathSeparator);
  switch (kind) {
    case config::KitRefusal::kFileDamaged:
      return FormatResString("IDS_KIT_FILEDAMAGED", {printable(name)});
    case config::KitRefusal::kNameNotAllowed:
      return LoadResString("IDS_KIT_BADNAME") + (name.empty() ? u"" : u"\n" + printable(name));
    default:
      return LoadResString("IDS_REASON_KITDAMAGED");
  }
}

// Why a folder cannot be written or made: the error of the nearest level
// of it that exists, or that none does.
uint32_t why_not_writable(const std::u16string& path) {
  std::u16string existing;
  FileStatus status;
  const uint32_t looked = nearest_existing_level(path, existing, status);
  if (looked != ERROR_SUCCESS) return looked;
  return FileSystem::CheckAccess(existing, FILE_ACCESS_WRITE);
}

std::u16string current_directory() {
  std::u16string directory;
  return FileSystem::GetCurrentDirectory(directory) == ERROR_SUCCESS ? directory : std::u16string();
}

// Where the kit is expected: in the current directory, or beside the
// executable; empty when that cannot be told.
std::u16string expected_kit_path(const SessionSettings& settings) {
  if (!settings.kitPath.empty()) return settings.kitPath;
  const bool useCurrentDirectory = settings.useCurrentDirectory;
  std::u16string directory;
  if (useCurrentDirectory) {
    directory = current_directory();
    if (directory.empty()) return std::u16string();
  } else {
    std::u16string executable;
    if (FileSystem::ReadLink(u"/proc/self/exe", executable) != ERROR_SUCCESS || executable.empty())
      return std::u16string();
    directory = executable.substr(0, executable.find_last_of(u'/') == std::u16string::npos
                                         ? 0
                                         : executable.find_last_of(u'/'));
  }
  return directory + u"/ovn8.okd";
}

}  // namespace

InstallationSession::InstallationSession(const SessionSettings& settings) : settings_(settings) {
  progress_.setInstallState(0, LoadResString("IDS_PREPARECOPY"), 0);
}

InstallationSession::~InstallationSession() {
  thread_.join();
  if (pinnedKit_ >= 0) FileSystem::CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(pinnedKit_)));
}

// ---------------------------------------------------------------- program start

std::vector<SessionMessage> InstallationSession::recoverStoppedInstallations(
    const std::u16string& target) {
  // A record of a directory moved to `target` since is then done with, and
  // not reported as waiting for its directory.
  std::vector<RecoveryNotice> notices;
  if (!target.empty()) notices = recover_directory(target);
  for (const RecoveryNotice& notice : recover_stopped_installations()) notices.push_back(notice);
  // What they left is no longer needed by anyone.
  remove_leftovers_of_ended_runs();
  std::vector<SessionMessage> messages;
  for (const RecoveryNotice& notice : notices) messages.push_back(recovery_message(notice));
  return messages;
}

void InstallationSession::removeTemporaryFiles() { remove_run_temp_folder(); }

// ---------------------------------------------------------------- start-up checks

bool InstallationSession::start(const KitOpener& opener, SessionMessage& refusal) {
  bool started = findKit(refusal);
  if (started) {
    proposeDirectory();
    logStart(true);
    started = checkTemporarySpace(refusal) && openKit(opener, refusal);
  }
  outcome_ = SessionOutcome();
  outcome_.dryRun = settings_.dryRun;
  if (!started) {
    outcome_.message = refusal;
    // A stop signal while the box says why ends the program as it would
    // end anyway.
    set_stop_signal_exit_status(kExitStartupFailed);
  }
  return started;
}

bool InstallationSession::findKit(SessionMessage& refusal) {
  kitPath_ = expected_kit_path(settings_);
  if (kit_exists(kitPath_)) return true;
  logStart(false);
  // Where it looked, so that the user knows where to put the kit (under
  // any name).
  std::u16string text = LoadResString("IDS_ERROR_NOSOURCE");
  if (!kitPath_.empty()) text += u"\n" + LoadResString("IDS_KIT_LOOKED_AT") + u"\n" + printable(kitPath_);
  refusal = error_message(text, "kit-not-found", kitPath_, ERROR_FILE_NOT_FOUND);
  return false;
}

// The first directory of the launcher's list that can be written, else the
// wizard's own; the one given on the command line before either.
void InstallationSession::proposeDirectory() {
  target_.clear();
  bool found = false;
  for (const std::u16string& directory : read_template_list().directories) {
    if (isWritePermitted(directory)) {
      target_ = directory;
      found = true;
      break;
    }
  }
  if (!found) target_ = n8_app_data_dir(false) + u"tmplts" + kPathSeparator;
  target_ = cleanProposedDirectory(target_);
  if (!settings_.target.empty()) target_ = settings_.target;
}

bool InstallationSession::checkTemporarySpace(SessionMessage& refusal) {
  uint32_t kitSize = 0;
  uint32_t freeBytes = 0;
  if (FileSystem::GetFileSize(kitPath_, &kitSize) != 0 ||
      FileSystem::GetFreeSpaceTmpDir(&freeBytes) != 0 || enoughTemporarySpace(kitSize, freeBytes))
    return true;
  log_event("error: the temporary directory has " + std::to_string(freeBytes) + " bytes free, " +
            std::to_string(kSpaceReg) + " times the kit's size are needed");
  refusal = error_message(LoadResString("IDS_ERROR_NOSPACE") +
                              temporarySpaceDetail(FormatResString(
                                  "IDS_SPACE_INFO", {sizeText(uint64_t(kitSize) * kSpaceReg, true),
                                                     sizeText(freeBytes, false)})),
                          "no-temporary-space");
  return false;
}

// The real temporary directory (the box's sentence names it "Temp"), and
// what is known of its space.
std::u16string InstallationSession::temporarySpaceDetail(const std::u16string& sizes) const {
  std::u16string directory;
  if (FileSystem::GetTempPath(directory) != ERROR_SUCCESS || directory.empty()) return std::u16string();
  std::u16string detail = u"\n" + printable(without_trailing_separator(directory));
  if (!sizes.empty()) detail += u"\n" + sizes;
  return detail;
}

bool InstallationSession::openKit(const KitOpener& opener, SessionMessage& refusal) {
  // gpgv reads the whole kit: on the opener's thread, so that the preparing
  // window covers it as it covers the unpacking, which only a signature
  // that may be installed lets begin.
  const std::function<uint32_t()> opening = [this] {
    signature_ = config::check_kit_signature(kitPath_, settings_.signature, pinSignedKit());
    signatureChecked_ = true;
    if (!signature_.acceptable()) return uint32_t(ERROR_INVALID_DATA);
    const uint32_t result = kit_.openStreamed(kitSource());
    if (result == ERROR_SUCCESS) kitDigest_.start(kitSource());
    return result;
  };
  const uint32_t opened = opener ? opener(opening) : opening();
  if (signatureChecked_ && !signatureAccepted(refusal)) return false;
  if (opened == ERROR_SUCCESS) {
    log_event("kit opened: " + std::to_string(kit_.descriptions.size()) + " descriptions, " +
              std::to_string(kit_.entries.size()) + " entries");
    lookForInstallation();
    return true;
  }
  // The temporary directory filled up while the kit was unpacked; the
  // partial container is already gone.
  const bool full = opened == ERROR_DISK_FULL;
  log_event(error_event("error " + narrow_lib(kitPath_) +
                            (full ? ": no space left to unpack the kit" : ": the kit is damaged: ") +
                            (full ? std::string() : kit_.refusal()),
                        opened));
  // Where the kit is wrong, for whoever made it; a kit that cannot be read
  // at all says why in the interface language.
  if (full)
    refusal = error_message(LoadResString("IDS_ERROR_NOSPACE") + temporarySpaceDetail(std::u16string()),
                            "no-temporary-space", kitPath_, opened);
  else
    refusal = kitDamagedMessage(opened);
  return false;
}

// gpgv reads the signed kit from a file of ours, and the reader opens that
// same file again through /proc: a kit put in its place after the check
// (renamed over it, or its folder swapped) is never the one unpacked.
// -1 when the kit is unsigned or cannot be opened (the reader then says why).
int InstallationSession::pinSignedKit() {
  if (pinnedKit_ >= 0 || config::signature_file_of(kitPath_).empty()) return pinnedKit_;
  FileStatus status;
  // A FIFO would block the open; only a regular file holds a kit.
  if (FileSystem::GetFileStatus(kitPath_, true, status) != ERROR_SUCCESS || status.kind != FileKind::kRegular)
    return -1;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (FileSystem::CreateFile(kitPath_, GENERIC_READ, 0, OPEN_EXISTING, handle) != ERROR_SUCCESS) return -1;
  pinnedKit_ = static_cast<int>(reinterpret_cast<intptr_t>(handle));
  // Pinned, the file can still be written to in place by whoever may write
  // it: what is installed must be the bytes the signature was checked over,
  // so a kit written to since (the watch cannot tell: its change time has
  // moved) is refused once read. A rename over it is no write.
  FileStatus checked;
  if (FileSystem::GetHandleStatus(handle, checked) != ERROR_SUCCESS) return pinnedKit_;
  auto watch = std::make_shared<WriteWatch>();
  const bool watched = watch->start(handle);
  kit_.setSourceCheck([handle, checked, watch, watched] {
    if (watched) return !watch->written();
    FileStatus now;
    return FileSystem::GetHandleStatus(handle, now) == ERROR_SUCCESS && now.size == checked.size &&
           now.changeSeconds == checked.changeSeconds && now.changeNanoseconds == checked.changeNanoseconds;
  });
  return pinnedKit_;
}

std::u16string InstallationSession::kitSource() const {
  if (pinnedKit_ < 0) return kitPath_;
  FileStatus status;
  const std::u16string pinned = u"/proc/self/fd/" + widen_lib(std::to_string(pinnedKit_));
  // Without /proc the path is all there is.
  return FileSystem::GetFileStatus(pinned, true, status) == ERROR_SUCCESS && status.exists() ? pinned : kitPath_;
}

// A kit whose signature does not verify is refused as a damaged kit is,
// naming why.
bool InstallationSession::signatureAccepted(SessionMessage& refusal) const {
  const config::KitSignature& s = signature_;
  log_event(std::string("kit signature: ") + config::signature_state_name(s.state) + ", " + s.detail +
            (s.file.empty() ? std::string() : ", file " + narrow_lib(s.file)) +
            (s.signer.empty() ? std::string() : ", signer " + printable(s.signer)) +
            (s.keyId.empty() ? std::string() : ", key " + s.keyId) +
            (s.fingerprint.empty() ? std::string() : ", fingerprint " + s.fingerprint) +
            (s.required ? ", a trusted signature is required" : ""));
  if (s.acceptable()) return true;
  std::u16string reason;
  const char* code = "kit-signature-required";
  if (s.state == config::SignatureState::kBad) {
    reason = LoadResString("IDS_KIT_SIGNATURE_BAD");
    code = "kit-signature-bad";
  } else if (s.state == config::SignatureState::kInvalid) {
    reason = LoadResString("IDS_KIT_SIGNATURE_INVALID");
    code = "kit-signature-invalid";
  } else {
    reason = LoadResString("IDS_KIT_SIGNATURE_REQUIRED") + u"\n" + signatureText();
  }
  refusal = error_message(LoadResString("IDS_ERROR_DAMAGEDSOURCE") + u"\n" + reason, code,
                          s.file.empty() ? kitPath_ : s.file, ERROR_INVALID_DATA);
  return false;
}

std::u16string InstallationSession::signatureText() const {
  switch (signature_.state) {
    case config::SignatureState::kGood:
      return FormatResString("IDS_KIT_SIGNEDBY", {printable(widen_lib(signature_.signer))});
    case config::SignatureState::kUnknownKey:
      return FormatResString("IDS_KIT_SIGNER_UNKNOWN", {widen_lib(signature_.keyId)});
    case config::SignatureState::kNotChecked: return LoadResString("IDS_KIT_SIGNATURE_UNCHECKED");
    case config::SignatureState::kBad: return LoadResString("IDS_KIT_SIGNATURE_BAD");
    case config::SignatureState::kInvalid: return LoadResString("IDS_KIT_SIGNATURE_INVALID");
    case config::SignatureState::kUnsigned: break;
  }
  return LoadResString("IDS_KIT_UNSIGNED");
}

SessionMessage InstallationSession::kitDamagedMessage(uint32_t code) const {
  const std::u16string detail =
      u"\n" + (code == ERROR_INVALID_DATA ? kit_refusal_text(kit_.refusalKind(), kit_.refusalSubject())
                                          : printable(kitPath_) + u"\n" + failure_reason(code));
  return error_message(LoadResString("IDS_ERROR_DAMAGEDSOURCE") + detail, "kit-damaged", kitPath_, code);
}

std::u16string InstallationSession::kitLocation() const {
  return kitPath_.empty() ? u"(unknown path)" : kitPath_;
}

void InstallationSession::logStart(bool kitFound) const {
  if (!run_log().isOpen()) return;
  uint32_t kitSize = 0;
  std::string kit = narrow_lib(kitLocation());
  if (!kitFound)
    kit += " (not found)";
  else if (FileSystem::GetFileSize(kitPath_, &kitSize) == 0)
    kit += " (" + std::to_string(kitSize) + " bytes)";
  log_event(std::string("start ovn8setup ") + program_version() + ", kit " + kit + ", target " +
            (kitFound ? narrow_lib(target_) : std::string("-")) + ", language " +
            narrow_lib(settings_.languageCode) + ", mode " +
            (settings_.silent ? "silent" : "interactive") +
            (settings_.withDisplay ? "" : " without a display"));
}

// ---------------------------------------------------------------- the kit's names

std::vector<const config::KitDescription*> InstallationSession::descriptionsByPreference() const {
  std::vector<const config::KitDescription*> order;
  auto add = [&order](const config::KitDescription* description) {
    if (description && std::find(order.begin(), order.end(), description) == order.end())
      order.push_back(description);
  };
  auto inLanguage = [this](const std::u16string& code) -> const config::KitDescription* {
    for (const config::KitDescription& description : kit_.descriptions)
      if (compare_nocase(description.languageCode, code) == 0) return &description;
    return nullptr;
  };
  add(inLanguage(settings_.languageCode));
  add(inLanguage(u"en"));
  if (!kit_.descriptions.empty()) add(&kit_.descriptions.front());
  return order;
}

// A kit that describes the product in other languages only still names
// it: its English description, else its first one.
void InstallationSession::kitNames(std::u16string& product, std::u16string& vendor) const {
  const std::vector<const config::KitDescription*> order = descriptionsByPreference();
  product = order.empty() ? std::u16string() : order.front()->productName;
  vendor = order.empty() ? std::u16string() : order.front()->providerName;
}

KitIdentity InstallationSession::kitIdentity() const {
  KitIdentity identity;
  kitNames(identity.product, identity.vendor);
  FileStatus status;
  if (file_status(kitSource(), status) == ERROR_SUCCESS) identity.size = status.size;
  identity.version = kit_.kitVersion();
  return identity;
}

std::u16string InstallationSession::welcomeText() const {
  std::u16string product, vendor;
  kitNames(product, vendor);
  if (product.empty()) product = LoadResString("IDS_DEFPRODUCT");
  if (vendor.empty()) vendor = LoadResString("IDS_DEFPROVIDER");
  return LoadResString("IDS_WELCOME_TITLE") + u" " + product + u" (" + vendor + u").";
}

std::u16string InstallationSession::descriptionDocumentPath() const {
  // The same preference as the welcome page's names, skipping descriptions
  // without a document.
  std::u16string name;
  for (const config::KitDescription* description : descriptionsByPreference()) {
    if (!description->descriptionPath.empty()) {
      name = description->descriptionPath;
      break;
    }
  }
  if (name.empty()) return std::u16string();
  std::u16string path = joinDirectoryAndName(target_, name);
  replace_all(path, kBadPathSeparator, kPathSeparator);
  if (!file_exists(path)) return std::u16string();
  return documentInsideDirectory(path, target_);
}

// ---------------------------------------------------------------- the directory

uint64_t InstallationSession::kitFilesBytes() const {
  uint64_t bytes = 0;
  for (const config::KitEntry& entry : kit_.entries) bytes += entry.size;
  return bytes;
}

// As the installer decides: a file that is up to date stays; everything
// else is written (an older copy moves aside on the same file system, so
// the new one needs its full size).
uint64_t InstallationSession::bytesToWrite(const std::u16string& directory) const {
  const std::u16string base = with_trailing_separator(directory);
  uint64_t bytes = 0;
  for (const config::KitEntry& entry : kit_.entries)
    if (!entryIsUpToDate(base + config::entryNameInDirectory(entry.name), entry)) bytes += entry.size;
  return bytes;
}

bool InstallationSession::freeSpaceFor(const std::u16string& typed, uint64_t& freeBytes) const {
  std::u16string path = typed;
  replace_all(path, kBadPathSeparator, kPathSeparator);
  if (path.empty()) return false;
  const std::u16string cwd = current_directory();
  return freeSpaceAt(absolute_path(path, home_dir(), cwd.empty() ? u"/" : cwd), freeBytes);
}

// A path that is a file, or a folder that cannot be made or written, is
// refused with a text that says which, naming the path; so is one without
// room for what the run would write.
bool InstallationSession::chooseDirectory(const std::u16string& typed, std::u16string& chosen,
                                          SessionMessage& refusal) {
  std::u16string path = typed;
  replace_all(path, kBadPathSeparator, kPathSeparator);
  const std::u16string cwd = current_directory();
  chosen = absolute_path(path, home_dir(), cwd.empty() ? u"/" : cwd);
  if (!checkDirectory(chosen, refusal)) return false;
  target_ = chosen;
  lookForInstallation();
  return true;
}

bool InstallationSession::checkDirectory(const std::u16string& chosen, SessionMessage& refusal) const {
  // Installing there would mix templates into what the wizard keeps for
  // another directory (its record, a run's backups).
  if (liesInWizardsOwnFolder(chosen)) {
    refusal = error_message(LoadResString(kNotWritable) + u"\n" + printable(chosen) + u"\n" +
                                failure_reason(ERROR_INVALID_NAME),
                            "target-not-writable", chosen, ERROR_INVALID_NAME);
    return false;
  }
  const char* reason = nullptr;
  const char* code = nullptr;
  switch (checkTargetDirectory(chosen)) {
    case TargetCheck::kUsable:
      break;
    case TargetCheck::kNotAFolder:
      reason = "IDS_SETUP_TARGETNOTFOLDER";
      code = "target-not-folder";
      break;
    case TargetCheck::kNotWritable:
      reason = kNotWritable;
      code = "target-not-writable";
      break;
  }
  if (reason) {
    std::u16string text = LoadResString(reason) + u"\n" + printable(chosen);
    const uint32_t why = why_not_writable(chosen);
    if (reason == kNotWritable && why != ERROR_SUCCESS) text += u"\n" + failure_reason(why);
    refusal = error_message(text, code, chosen, reason == kNotWritable ? why : ERROR_DIRECTORY);
    return false;
  }
  // Too little room: the run would fail at a full disk and roll back.
  // Files already up to date are not written again.
  uint64_t freeBytes = 0;
  if (freeSpaceAt(chosen, freeBytes) && freeBytes < kitFilesBytes()) {
    const uint64_t needed = bytesToWrite(chosen);
    if (freeBytes < needed) {
      log_event("refused " + narrow_lib(chosen) + ": " + std::to_string(freeBytes) + " bytes free, " +
                std::to_string(needed) + " needed");
      refusal = error_message(LoadResString("IDS_SETUP_NOSPACE") + u"\n" + printable(chosen) + u"\n" +
                                  FormatResString("IDS_SPACE_INFO",
                                                  {sizeText(needed, true), sizeText(freeBytes, false)}),
                              "target-no-space", chosen, ERROR_DISK_FULL);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- the run

SessionOutcome InstallationSession::install(SessionView& view) {
  SessionOutcome outcome;
  outcome.dryRun = settings_.dryRun;
  lastRun_ = RunReport();
  cancelRequested_ = false;
  if (prepare(view, outcome)) {
    if (settings_.planFiles) outcome.files = plan();
    if (settings_.dryRun) {
      planRun(outcome);
    } else {
      // From here until the rollback has ended, a stop signal cancels the run.
      defer_stop_signals();
      runWorker(view);
      finish(outcome);
      allow_stop_signals();
    }
  }
  outcome_ = outcome;
  // A stop signal from here on ends the program as it would end anyway.
  set_stop_signal_exit_status(outcome.exitStatus);
  if (!settings_.dryRun) lookForInstallation();
  return outcome;
}

// Before the run: the directory must be one that can be installed into; a
// stopped installation found in it is put right and the user told; a
// directory that another installation holds (or one around it) is refused
// before anything is changed. The run itself takes the directory's lock; a
// wizard that starts in between makes it fail as busy. A dry run changes
// nothing, so it leaves a stopped installation for a real run to recover.
bool InstallationSession::prepare(SessionView& view, SessionOutcome& outcome) {
  if (target_.empty()) {
    outcome.message = SessionMessage::notice(LoadResString("IDS_SETUP_EMPTYTARGET"));
    outcome.message.code = "no-target";
    return false;
  }
  if (!checkDirectory(target_, outcome.message)) return false;
  return recoverAndCheckFree(view, outcome);
}

bool InstallationSession::recoverAndCheckFree(SessionView& view, SessionOutcome& outcome) {
  if (!settings_.dryRun)
    for (const RecoveryNotice& notice : recover_directory(target_)) view.showNotice(recovery_message(notice));
  if (!target_is_busy(target_)) return true;
  log_event("error " + narrow_lib(target_) + ": another installation holds the directory");
  outcome.message = error_message(LoadResString("IDS_ERROR_TARGETBUSY"), "target-busy", target_,
                                  ERROR_LOCK_VIOLATION);
  return false;
}

std::vector<PlannedFile> InstallationSession::plan() {
  const std::u16string base = with_trailing_separator(target_);
  std::vector<PlannedFile> files;
  std::map<std::u16string, size_t> seen;
  for (uint32_t index = 0; index < kit_.entries.size(); ++index) {
    const config::KitEntry& entry = kit_.entries[index];
    const std::u16string path = base + config::entryNameInDirectory(entry.name);
    const EntryPlace found = lookAtEntryPlace(path, entry.lastWriteTime);
    EntryAction action = EntryAction::kInstall;
    if (!found.write)
      action = found.existingNewer ? EntryAction::kKeepNewer : EntryAction::kUpToDate;
    else if (found.seen.exists())
      action = holds_entry_content(kit_, index, path, found.seen) ? EntryAction::kUpdateTime
                                                                   : EntryAction::kReplace;
    const auto earlier = seen.find(path);
    if (earlier == seen.end()) {
      seen[path] = files.size();
      files.push_back(PlannedFile{path, action});
    } else if (action == EntryAction::kReplace || action == EntryAction::kInstall ||
               action == EntryAction::kUpdateTime) {
      // A later entry of the same name that the run writes decides.
      PlannedFile& first = files[earlier->second];
      if (first.action == EntryAction::kKeepNewer || first.action == EntryAction::kUpToDate)
        first.action = action;
    }
  }
  return files;
}

void InstallationSession::planRun(SessionOutcome& outcome) {
  const std::vector<PlannedFile> files = outcome.files.empty() ? plan() : outcome.files;
  for (const PlannedFile& file : files) {
    switch (file.action) {
      case EntryAction::kInstall: ++outcome.counts.installed; break;
      case EntryAction::kReplace: ++outcome.counts.replaced; break;
      case EntryAction::kKeepNewer: ++outcome.counts.keptNewer; break;
      case EntryAction::kUpToDate: ++outcome.counts.upToDate; break;
      case EntryAction::kUpdateTime: ++outcome.counts.timeUpdated; break;
    }
  }
  outcome.launcher = record_template_directory(target_, LauncherWrite::kDryRun);
  outcome.changed = outcome.counts.installed + outcome.counts.replaced + outcome.counts.timeUpdated > 0 ||
                    outcome.launcher.changed();
  outcome.end = SessionOutcome::End::kInstalled;
  outcome.exitStatus = kExitSuccess;
  log_event("dry run into " + narrow_lib(target_) + ": nothing was changed");
}

// The run says itself when it is over (its rollback included) and how.
void InstallationSession::runWorker(SessionView& view) {
  progress_.init(&kit_, target_);
  // Asked to stop before anything began.
  if (stop_requested()) {
    lastRun_.result = ERROR_CANCELLED;
    lastRun_.phase = RunPhase::kEnded;
    return;
  }
  if (thread_.start(this) != 0) {
    lastRun_.code = lastRun_.result = ERROR_INVALID_HANDLE;
    lastRun_.message = LoadResString("IDS_INSTALL_ERROR");
    lastRun_.phase = RunPhase::kEnded;
    return;
  }
  running_ = true;
  view.runStarted();
  do {
    progress_.getReport(lastRun_);
    if (stop_requested()) requestCancel();
    view.showReport(lastRun_);
  } while (lastRun_.phase != RunPhase::kEnded);
  thread_.join();
  running_ = false;
}

bool InstallationSession::updateProgress() {
  if (job_ != Job::kInstall) {
    runJob();
    return false;
  }
  Installer installer;
  installer.setKitIdentity(kitIdentity());
  installer.setKitDigest([this] { return kitSha256(); });
  installer.run(&progress_);
  return false;
}

void InstallationSession::finish(SessionOutcome& outcome) {
  outcome.report = lastRun_;
  switch (lastRun_.result) {
    case ERROR_SUCCESS: {
      outcome.end = SessionOutcome::End::kInstalled;
      outcome.exitStatus = kExitSuccess;
      kitDigest_.remember();
      // The run counts every file it wrote as installed, replaced ones too.
      outcome.counts.replaced = lastRun_.replaced;
      outcome.counts.installed = lastRun_.installed - std::min(lastRun_.installed, lastRun_.replaced);
      outcome.counts.keptNewer = lastRun_.kept;
      outcome.counts.timeUpdated = lastRun_.timeUpdated;
      const uint32_t written = lastRun_.installed + lastRun_.kept + lastRun_.timeUpdated;
      outcome.counts.upToDate = lastRun_.places > written ? lastRun_.places - written : 0;
      // The templates are in place whatever happens here; a launcher that
      // cannot learn of them is worth a warning and its own exit status,
      // not a failure.
      outcome.launcher = record_template_directory(target_, LauncherWrite::kWrite);
      if (!outcome.launcher.recorded()) {
        outcome.exitStatus = kExitLauncherNotUpdated;
        outcome.warning = launcherWarning(outcome.launcher);
      }
      // A file given the entry's time has changed on disk too.
      outcome.changed = lastRun_.installed + lastRun_.timeUpdated > 0 || outcome.launcher.changed();
      return;
    }
    case ERROR_CANCELLED:
      outcome.end = SessionOutcome::End::kCancelled;
      outcome.exitStatus = kExitCancelled;
      outcome.message = error_message(LoadResString("IDS_CANCEL_FINISH"), "cancelled", target_,
                                      ERROR_CANCELLED);
      return;
    case ERROR_LOCK_VIOLATION:
      // Another wizard took the directory between the check and the run:
      // nothing was changed, as when the check itself finds it busy.
      outcome.message = error_message(LoadResString("IDS_ERROR_TARGETBUSY"), "target-busy", target_,
                                      ERROR_LOCK_VIOLATION);
      return;
    case ERROR_INVALID_DATA:
      // A streamed kit whose data turned out damaged: nothing of it was put
      // in place, and the run ends as a damaged kit does at start.
      if (kit_.refusalKind() != config::KitRefusal::kNone) {
        log_event(error_event("error " + narrow_lib(kitPath_) + ": the kit is damaged: " + kit_.refusal(),
                              ERROR_INVALID_DATA));
        outcome.end = SessionOutcome::End::kRefused;
        outcome.exitStatus = kExitStartupFailed;
        outcome.message = kitDamagedMessage(ERROR_INVALID_DATA);
        return;
      }
      [[fallthrough]];
    default:
      outcome.end = SessionOutcome::End::kFailed;
      outcome.exitStatus = kExitInstallFailed;
      outcome.message = error_message(lastRun_.message, "install-error", lastRun_.failedPath,
                                      lastRun_.result);
      return;
  }
}

// Which of the launcher's files could not take the directory, and why.
std::u16string InstallationSession::launcherWarning(const LauncherRecording& recording) {
  std::u16string text = LoadResString("IDS_WARN_LAUNCHERFILE");
  for (const LauncherFileUpdate& file : recording.files)
    if (file.error != ERROR_SUCCESS)
      text += u"\n\n" + printable(file.file) + u"\n" + failure_reason(file.error);
  return text;
}

void InstallationSession::requestCancel() {
  if (!running_ || cancelRequested_) return;
  cancelRequested_ = true;
  progress_.setCancel(true);
}

void InstallationSession::pauseRun(bool paused) {
  if (running_ || !paused) progress_.setPaused(paused);
}

// ---------------------------------------------------------------- outcome texts

// The folder and the counts under the sentence; replaced copies and kept
// newer files only when there were any.
std::u16string InstallationSession::successSummary(const char16_t* separator) const {
  const bool lines = separator[0] == u'\n';
  std::u16string text = LoadResString("IDS_TEMPLATE_CATALOG") + u" " + printable(target_) +
                        separator +
                        FormatResString("IDS_SUMMARY_INSTALLED", {count_text(lastRun_.installed)});
  if (lastRun_.replaced > 0 || !lines)
    text += separator + FormatResString("IDS_SUMMARY_REPLACED", {count_text(lastRun_.replaced)});
  if (lastRun_.kept > 0 || !lines)
    text += separator + FormatResString("IDS_SUMMARY_KEPT", {count_text(lastRun_.kept)});
  return text;
}

std::u16string InstallationSession::failureDetail() const {
  const size_t firstLineEnd = lastRun_.message.find(u'\n');
  if (lastRun_.code == 0 || firstLineEnd == std::u16string::npos) return std::u16string();
  return lastRun_.message.substr(firstLineEnd + 1);
}
