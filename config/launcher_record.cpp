#include "config/launcher_record.h"

#include <algorithm>

#include "config/config_paths.h"
#include "config/launcher_file_lock.h"
#include "config/starter.h"
#include "platform/file_finder.h"
#include "platform/run_log.h"
#include "platform/text.h"

bool LauncherRecording::recorded() const {
  for (const LauncherFileUpdate& file : files)
    if (file.error != 0) return false;
  return true;
}

bool LauncherRecording::changed() const {
  for (const LauncherFileUpdate& file : files)
    if (file.changed) return true;
  return false;
}

TemplateList read_template_list() {
  TemplateList list;
  list.alternateFileExists = file_exists(get_local_config_file_path_base());
  if (file_exists(get_local_config_file_path())) {
    get_tmplts_list(list.directories, true, false);
  } else if (list.alternateFileExists) {
    get_tmplts_list(list.directories, true, true);
    list.fromAlternateSet = !list.directories.empty();
  }
  return list;
}

namespace {

// Whether the per-user file of the set (`alternate`) takes the directory,
// by what the launcher's files say now.
bool takes_directory(bool alternate, const TemplateList& list) {
  return alternate ? list.alternateFileExists : !list.fromAlternateSet;
}

// False when, under the lock, the file turns out not to take it after all.
bool record_in(bool alternate, const std::u16string& directory, LauncherWrite mode,
               LauncherFileUpdate& update, bool removing) {
  update.file = alternate ? get_local_config_file_path_base() : get_local_config_file_path();
  const std::string file = narrow_lib(update.file);
  // The list is read again under the lock: another wizard may have
  // recorded its directory since this one started.
  const bool dryRun = mode == LauncherWrite::kDryRun;
  LauncherFileLock lock;
  const uint32_t locked = dryRun ? ERROR_SUCCESS : lock.acquire(update.file);
  if (locked != ERROR_SUCCESS)
    log_event(error_event("warning " + file + ": updated without waiting for other wizards", locked));
  if (!takes_directory(alternate, read_template_list())) return false;
  // Each file gets its own list: the alternate one keeps its entries.
  std::list<std::u16string> list;
  get_tmplts_list(list, true, alternate);
  if (removing) {
    // A file that does not list the directory is left as it is.
    if (std::find(list.begin(), list.end(), directory) == list.end()) return false;
    list.remove(directory);
  } else {
    list.push_front(directory);
  }
  const ConfigWriteResult result = Starter(alternate).storeTmpltsList(list, dryRun);
  update.error = result.error;
  update.reason = result.step;
  update.changed = result.ok() && result.changed;
  if (dryRun) return true;
  if (result.ok() && !result.changed)
    log_event(narrow_lib(directory) + " is already first in " + file);
  else if (result.ok())
    log_event((removing ? "removed " : "recorded ") + narrow_lib(directory) +
              (removing ? " from " : " first in ") + file);
  else
    log_event(error_event("error " + file + ": the launcher's file cannot be updated: " + result.step,
                          result.error));
  return true;
}

}  // namespace

LauncherRecording record_template_directory(const std::u16string& installed, LauncherWrite mode) {
  return change_template_list(installed, mode, false);
}

LauncherRecording unrecord_template_directory(const std::u16string& removed) {
  return change_template_list(removed, LauncherWrite::kWrite, true);
}

LauncherRecording change_template_list(const std::u16string& installed, LauncherWrite mode,
                                       bool removing) {
  std::u16string directory = installed;
  // Only one final separator goes; the root stays the root.
  if (directory.size() > 1 && (directory.back() == u'\\' || directory.back() == u'/'))
    directory.pop_back();
  LauncherRecording recording;
  for (bool alternate : {false, true}) {
    if (!takes_directory(alternate, read_template_list())) continue;
    LauncherFileUpdate update;
    if (record_in(alternate, directory, mode, update, removing)) recording.files.push_back(update);
  }
  return recording;
}
