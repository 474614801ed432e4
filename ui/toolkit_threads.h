// The toolkit's thread support and its lock (the GDK lock).
//
// Only the main thread calls the toolkit, but with thread support on, the
// toolkit's own event source takes the lock around every event it handles,
// including while it only looks whether one is waiting. The lock is not
// recursive, so it has one owner at a time, and the main thread keeps it
// whenever it runs toolkit code: from start-up to the end, given back only
// while a loop waits. gtk_main, gtk_dialog_run, gtk_main_iteration and
// gtk_events_pending give it back and take it again themselves; a plain
// GLib iteration does not, so the wizard never iterates GLib directly. A
// timer whose callback touches the toolkit is made with
// gdk_threads_add_timeout, which runs it holding the lock as events are.
//
// Without this, the lock's owner depended on history: free at start, but
// held after the first box shown outside any loop (gtk_dialog_run takes it
// back when it ends), and the next plain iteration waited for it forever.
#ifndef OVN8_UI_TOOLKIT_THREADS_H_
#define OVN8_UI_TOOLKIT_THREADS_H_

// Turns the toolkit's thread support on and holds its lock for the calling
// thread while it lives. Once per process, on the main thread, before any
// other toolkit call.
class ToolkitThreads {
 public:
  ToolkitThreads();
  ~ToolkitThreads();
  ToolkitThreads(const ToolkitThreads&) = delete;
  ToolkitThreads& operator=(const ToolkitThreads&) = delete;
};

#endif  // OVN8_UI_TOOLKIT_THREADS_H_
