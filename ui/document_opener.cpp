#include "ui/document_opener.h"

#include <glib.h>

#include "platform/stop_signals.h"

namespace {

ProcessLauncher g_launcher = nullptr;

bool spawn(const std::vector<std::string>& arguments) {
  std::vector<gchar*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<gchar*>(argument.c_str()));
  argv.push_back(nullptr);
  // Without G_SPAWN_DO_NOT_REAP_CHILD GLib reaps the child itself.
  const GSpawnFlags flags = GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL);
  GError* error = nullptr;
  const gboolean started =
      g_spawn_async(nullptr, argv.data(), nullptr, flags,
                    [](gpointer) { restore_closed_output_default(); }, nullptr, nullptr, &error);
  if (error) g_error_free(error);
  return started;
}

}  // namespace

void set_process_launcher(ProcessLauncher launcher) { g_launcher = launcher; }

bool open_document(const std::string& path) {
  const std::vector<std::string> argv = {"xdg-open", path};
  return g_launcher ? g_launcher(argv) : spawn(argv);
}
