// Feedback while a kit opens: a large kit is inflated whole before the
// first page can show, which takes seconds on a slow machine. The opening
// runs on a thread of its own while the interface thread keeps the toolkit
// going; once it has taken longer than the delay, a small window with the
// preparing text and a moving bar shows that the wizard is at work. The
// window goes as soon as the kit is open (or refused), before any message
// box or the wizard's window.
//
// Without a display nothing of this is used: the kit opens on the calling
// thread and nothing extra is printed.
#ifndef OVN8_UI_KIT_PREPARATION_H_
#define OVN8_UI_KIT_PREPARATION_H_

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <string>

class KitPreparation {
 public:
  // Opens shorter than this show nothing.
  static const int kDefaultDelayMs = 500;
  // How often the bar moves.
  static const int kPulseMs = 100;

  // `title`: the wizard's window title (UTF-8), which the window carries.
  explicit KitPreparation(const std::string& title, int delayMs = kDefaultDelayMs);
  ~KitPreparation();
  KitPreparation(const KitPreparation&) = delete;
  KitPreparation& operator=(const KitPreparation&) = delete;

  // Runs `open` on another thread and returns its result once it has ended,
  // handling the toolkit's events meanwhile. `open` must not call the
  // toolkit. Call from the interface thread with the toolkit started.
  uint32_t run(const std::function<uint32_t()>& open);

  // Whether the window was shown during the last run.
  bool windowShown() const { return shown_; }
  // The window while it is shown, else null; and its bar.
  GtkWidget* window() const { return window_; }
  GtkWidget* bar() const { return bar_; }

 private:
  static gboolean onTick(gpointer self);
  void tick();
  void showWindow();
  void closeWindow();

  std::string title_;
  int delayMs_;
  gint64 startUs_ = 0;
  bool shown_ = false;
  GtkWidget* window_ = nullptr;
  GtkWidget* bar_ = nullptr;
};

#endif  // OVN8_UI_KIT_PREPARATION_H_
