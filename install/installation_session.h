// One installation, whichever face drives it: the wizard's window
// (ui/installer_dlg.h) or the headless run (ui/headless_run.h). The session
// decides everything an installation is: the start-up checks in their order,
// the proposed directory, the checks of a chosen one, the recovery of a
// stopped run found there and its lock, the run on the worker thread with
// its reports, the one place a run is asked to stop, the recording in the
// launcher's files and the outcome with its exit status and texts. A face
// shows what the session says and passes on what the user asks; it never
// reaches into the session, and the session never draws or prints.
#ifndef OVN8_INSTALL_INSTALLATION_SESSION_H_
#define OVN8_INSTALL_INSTALLATION_SESSION_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/launcher_record.h"
#include "install/install_process_data.h"
#include "install/installation_record.h"
#include "install/kit_digest.h"
#include "install/install_thread.h"
#include "install/repair.h"
#include "install/uninstallation.h"
#include "kit/kit_signature.h"

struct LauncherRecording;

// Exit status of the program.
enum WizardExitCode : int {
  kExitSuccess = 0,             // installed (or nothing was left to do)
  kExitStartupFailed = 1,       // kit missing or damaged, no space, no usable or a busy target
  kExitInstallFailed = 2,       // the installation failed and was rolled back
  kExitCancelled = 3,           // the user cancelled
  kExitLauncherNotUpdated = 4,  // installed, but the launcher's file could not be updated
  kExitDiffers = 5,             // --verify: an entry is missing, changed or of another kind
};

struct SessionSettings {
  std::u16string languageCode = u"en";  // of the interface, e.g. "de"
  bool useCurrentDirectory = false;     // the kit lies in the current directory
  std::u16string kitPath;               // absolute (--kit); empty: where it is expected
  std::u16string target;                // absolute (--target); empty: the proposed one
  bool dryRun = false;                  // plan and report; change nothing anywhere
  bool planFiles = false;               // keep every entry's planned action (--json=files)
  bool silent = false;                  // for the log
  bool withDisplay = false;             // for the log
  // The keyrings and rules for the vendor's signature; the defaults are
  // the system's (/etc/ovn8setup, /usr/bin/gpgv).
  config::SignatureSettings signature;
};

// A text for the user: an error, or a plain notice. A failure also says
// what failed, for machines.
struct SessionMessage {
  static SessionMessage notice(const std::u16string& text, bool error = false) {
    SessionMessage message;
    message.text = text;
    message.error = error;
    return message;
  }
  std::u16string text;
  bool error = true;
  std::string code;      // a stable identifier of the failure ("kit-damaged"); empty for a notice
  std::u16string file;   // the file or folder it concerns, when one does
  uint32_t errorNumber = 0;
};

// What becomes of one kit entry.
// kUpdateTime: an older file that holds the entry's bytes already keeps
// its content and inode and only takes the entry's time.
enum class EntryAction { kInstall, kReplace, kKeepNewer, kUpToDate, kUpdateTime };
struct PlannedFile {
  std::u16string path;
  EntryAction action = EntryAction::kInstall;
};

// What became (or, in a dry run, would become) of the kit's entries; each
// path counts once.
struct EntryCounts {
  uint32_t installed = 0;
  uint32_t replaced = 0;
  uint32_t keptNewer = 0;
  uint32_t upToDate = 0;
  // Files that held the entry's content already and only took its time.
  uint32_t timeUpdated = 0;
};

// How an installation ended.
struct SessionOutcome {
  enum class End {
    kInstalled,  // in place (`warning` when the launcher was not told)
    kFailed,     // failed and rolled back; `message` says why
    kCancelled,  // cancelled and rolled back
    kRefused,    // nothing was changed: no directory, or another run holds it; `message`
    kRepaired,   // the kit's files are as installed again; `repair` says which
    kRemoved,    // the installation's files are gone; `removal` says what stayed
  };
  End end = End::kRefused;
  int exitStatus = kExitStartupFailed;
  SessionMessage message;
  std::u16string warning;
  RunReport report;  // the run's last report
  bool dryRun = false;
  EntryCounts counts;              // all 0 unless installed
  std::vector<PlannedFile> files;  // with planFiles: every path once, in kit order
  LauncherRecording launcher;      // the launcher's files that were (or would be) told
  // Something on disk changed (in a dry run: would change).
  bool changed = false;
  RepairOutcome repair;      // after a repair
  UninstallOutcome removal;  // after a removal
};

// An installation of the session's kit found in a directory: what its
// record says of it.
struct InstalledKit {
  bool present = false;      // a trustworthy record of this very kit (same SHA-256)
  std::u16string version;    // the kit's version; empty when it names none
  int64_t installedAt = 0;   // seconds since 1970, UTC
};

// What a face is told while an installation goes on.
class SessionView {
 public:
  // A stopped installation found in the directory, and what became of it.
  virtual void showNotice(const SessionMessage& notice) = 0;
  // The directory is locked and the worker starts.
  virtual void runStarted() = 0;
  // The run's latest report; called again and again until it has ended.
  // A face with a window handles its events here, one without waits a
  // little.
  virtual void showReport(const RunReport& report) = 0;

 protected:
  ~SessionView() = default;
};

class InstallationSession : private InstallWorker {
 public:
  // Runs the kit's opening and returns its result; the window runs it off
  // its own thread to keep drawing.
  typedef std::function<uint32_t(const std::function<uint32_t()>& open)> KitOpener;

  explicit InstallationSession(const SessionSettings& settings);
  ~InstallationSession();
  InstallationSession(const InstallationSession&) = delete;
  InstallationSession& operator=(const InstallationSession&) = delete;

  // At program start, before any session: installations that a kill or a
  // power cut stopped are put back (`target` first, whoever's run was
  // stopped there), and what ended runs left behind is removed. What the
  // user is told, each once.
  static std::vector<SessionMessage> recoverStoppedInstallations(const std::u16string& target);
  // At program end: the temporary folder of the run goes.
  static void removeTemporaryFiles();

  // The start-up checks, in order: the kit is there, the launcher's list
  // gives the proposed directory, the temporary directory holds the
  // unpacked kit, the vendor's signature is good or not required, the kit
  // opens (both through `opener` when given). False at the first that
  // fails, with the reason in `refusal`.
  bool start(const KitOpener& opener, SessionMessage& refusal);

  // What the pages show, once started.
  const std::u16string& kitPath() const { return kitPath_; }
  const KitReader& kit() const { return kit_; }
  // "Welcome ... Product (Vendor)." in the best description's names.
  std::u16string welcomeText() const;
  // What gpgv said of the kit's signature, once started.
  const config::KitSignature& signature() const { return signature_; }
  // Who signed the kit, or that nobody did, in the interface language.
  std::u16string signatureText() const;
  // The directory the run installs into: the proposed one until another is
  // chosen.
  const std::u16string& targetDirectory() const { return target_; }
  // The bytes of all the kit's files: what a run may write at most.
  uint64_t kitFilesBytes() const;
  // The space free where the typed directory would lie; false when unknown.
  bool freeSpaceFor(const std::u16string& typed, uint64_t& freeBytes) const;
  // The directory the user typed, made absolute ("~", relative). It becomes
  // the target when it can be: a folder that can be written or made, with
  // room for what the run would write. `chosen` is the absolute path either way.
  bool chooseDirectory(const std::u16string& typed, std::u16string& chosen,
                       SessionMessage& refusal);

  // Installs into the target directory, telling `view` how it goes, and
  // returns when the run (its rollback included) has ended and a success
  // has been recorded for the launcher. A dry run checks the directory and
  // plans instead, changing nothing.
  SessionOutcome install(SessionView& view);
  // The installation of this kit in the target directory, as found when
  // the directory was proposed or chosen, and after each run.
  // Looked at when first asked after either.
  const InstalledKit& installedKit() const;
  // The SHA-256 of the kit's file (64 hex digits; empty when it could not
  // be read), waiting for it to be read.
  std::string kitSha256() const { return kitDigest_.hex(); }
  // That it is there, its version (when the kit names one) and when it was
  // installed ("2026-12-08 14:05", local time), on lines in the interface
  // language; empty without one.
  std::u16string installedText() const;
  // Puts back, from the kit, every file of the installation in the target
  // directory that is missing or was changed (a changed one kept aside
  // first), or removes the installation's files that are unchanged; run on
  // the worker thread like an installation, cancelled the same way, and
  // ended as kRepaired or kRemoved. Refused when the directory holds no
  // installation of this kit.
  SessionOutcome repair(SessionView& view);
  SessionOutcome remove(SessionView& view);
  // How the session ended so far: a refused start, or the last run.
  const SessionOutcome& lastOutcome() const { return outcome_; }
  // That outcome as one JSON object (docs/json-format.md), with the
  // program's `exitStatus`; `withFiles` adds every entry's action.
  std::string resultJson(int exitStatus, bool withFiles) const;
  // Asks the running installation to stop and roll back; the one way a run
  // is cancelled. Nothing happens outside a run.
  void requestCancel();
  bool cancelRequested() const { return cancelRequested_; }
  // The running installation's latest report.
  void latestReport(RunReport& report) { progress_.getReport(report); }
  // Waits up to `milliseconds` for the running installation to end.
  void awaitRunEnd(unsigned milliseconds) { progress_.waitForEnd(milliseconds); }
  // While paused, the run waits before its next entry.
  void pauseRun(bool paused);
  bool running() const { return running_; }
  const SessionSettings& settings() const { return settings_; }
  void setWithDisplay(bool withDisplay) { settings_.withDisplay = withDisplay; }

  // After a success: "Template directory: /t", then the counts, joined by
  // `separator`; with "\n" counts of zero are left out but the installed one.
  std::u16string successSummary(const char16_t* separator) const;
  // After a repair or a removal: the sentence, the folder, the count, and
  // the files kept aside (under which name), left alone or kept because
  // the user changed them, on lines.
  std::u16string maintenanceSummary() const;
  // After a failure: the file and the reason, without the leading line.
  std::u16string failureDetail() const;
  // The installed description document in the best language, when it lies
  // in the directory; empty otherwise.
  std::u16string descriptionDocumentPath() const;

 private:
  bool updateProgress() override;
  // Whether the absolute `directory` can be installed into (see
  // chooseDirectory); the reason in `refusal` when not.
  bool checkDirectory(const std::u16string& directory, SessionMessage& refusal) const;
  bool findKit(SessionMessage& refusal);
  void proposeDirectory();
  bool checkTemporarySpace(SessionMessage& refusal);
  std::u16string temporarySpaceDetail(const std::u16string& sizes) const;
  static std::u16string launcherWarning(const LauncherRecording& recording);
  // The damaged-kit message for `code` (13: what the reader found).
  SessionMessage kitDamagedMessage(uint32_t code) const;
  bool openKit(const KitOpener& opener, SessionMessage& refusal);
  bool signatureAccepted(SessionMessage& refusal) const;
  void logStart(bool kitFound) const;
  std::u16string kitLocation() const;
  // The kit's descriptions: the interface language's, English, the first.
  std::vector<const config::KitDescription*> descriptionsByPreference() const;
  // The product and vendor of the best description; empty without one.
  void kitNames(std::u16string& product, std::u16string& vendor) const;
  // The kit as a record names it, but for its digest (see kitDigest_).
  KitIdentity kitIdentity() const;
  uint64_t bytesToWrite(const std::u16string& directory) const;
  bool prepare(SessionView& view, SessionOutcome& outcome);
  // Every entry's action against the directory as it is now.
  std::vector<PlannedFile> plan();
  void planRun(SessionOutcome& outcome);
  void runWorker(SessionView& view);
  void finish(SessionOutcome& outcome);
  // Before any run: a stopped run in the directory is put right, and a
  // directory another run holds refused.
  bool recoverAndCheckFree(SessionView& view, SessionOutcome& outcome);
  // installation_session_maintenance.cpp
  enum class Job { kInstall, kRepair, kRemove };
  SessionOutcome runMaintenance(SessionView& view, Job job);
  void runJob();
  void finishMaintenance(SessionOutcome& outcome);
  // Forgets what was found of an installation in the target directory.
  void lookForInstallation();
  // A signed kit is opened once and read through that open file only.
  int pinSignedKit();
  std::u16string kitSource() const;

  SessionSettings settings_;
  std::u16string kitPath_;
  std::u16string target_;
  KitReader kit_;
  config::KitSignature signature_;
  bool signatureChecked_ = false;  // the kit was found and its signature looked at
  int pinnedKit_ = -1;             // the signed kit, open since its check
  InstallProcessData progress_;
  InstallThread thread_;
  RunReport lastRun_;
  SessionOutcome outcome_;
  bool running_ = false;
  bool cancelRequested_ = false;
  // Of the kit's file, once opened; empty when unknown. Mutable: the
  // const questions about the kit wait for it.
  mutable KitDigest kitDigest_;
  mutable InstalledKit installed_;
  mutable bool installedKnown_ = false;
  Job job_ = Job::kInstall;
  RepairOutcome repaired_;
  UninstallOutcome removed_;
};

#endif  // OVN8_INSTALL_INSTALLATION_SESSION_H_
