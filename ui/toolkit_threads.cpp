#include "ui/toolkit_threads.h"

#include <gdk/gdk.h>
#include <glib.h>

ToolkitThreads::ToolkitThreads() {
#if !GLIB_CHECK_VERSION(2, 32, 0)
  g_thread_init(NULL);  // threads are always on in newer GLib
#endif
  gdk_threads_init();
  gdk_threads_enter();
}

ToolkitThreads::~ToolkitThreads() { gdk_threads_leave(); }
