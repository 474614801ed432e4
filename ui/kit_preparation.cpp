#include "ui/kit_preparation.h"

#include <atomic>
#include <thread>

#include "platform/text.h"
#include "resources/lang.h"
#include "resources/pictures.h"

namespace {

// Room around the text and the bar, and the bar's width.
const int kBorder = 16;
const int kSpacing = 10;
const int kBarWidth = 320;
const double kPulseStep = 0.05;

}  // namespace

const int KitPreparation::kDefaultDelayMs;
const int KitPreparation::kPulseMs;

KitPreparation::KitPreparation(const std::string& title, int delayMs)
    : title_(title), delayMs_(delayMs) {}

KitPreparation::~KitPreparation() { closeWindow(); }

uint32_t KitPreparation::run(const std::function<uint32_t()>& open) {
  shown_ = false;
  startUs_ = g_get_monotonic_time();
  std::atomic<bool> done(false);
  uint32_t result = 0;
  std::thread opener([&] {
    result = open();
    done.store(true);
    // The interface thread may be waiting for events; the end is one.
    g_main_context_wakeup(g_main_context_default());
  });
  // The tick touches the toolkit, so it runs holding the toolkit's lock,
  // and the toolkit's own iteration gives the lock back while it waits
  // (ui/toolkit_threads.h).
  const guint ticker = gdk_threads_add_timeout(kPulseMs, &KitPreparation::onTick, this);
  while (!done.load()) gtk_main_iteration();
  g_source_remove(ticker);
  opener.join();
  closeWindow();
  return result;
}

gboolean KitPreparation::onTick(gpointer self) {
  static_cast<KitPreparation*>(self)->tick();
  return TRUE;
}

void KitPreparation::tick() {
  if (window_ == nullptr && g_get_monotonic_time() - startUs_ >= gint64(delayMs_) * 1000) showWindow();
  if (bar_ != nullptr) gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar_));
}

void KitPreparation::showWindow() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* window = GTK_WINDOW(window_);
  gtk_window_set_title(window, title_.c_str());
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_resizable(window, FALSE);
  // Nothing can be stopped half way here, so the window cannot be closed;
  // a stop signal still ends the wizard.
  gtk_window_set_deletable(window, FALSE);
  g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);
  GdkPixbuf* icon = gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kIconXpm));
  if (icon != nullptr) {
    gtk_window_set_icon(window, icon);
    g_object_unref(icon);
  }

  GtkWidget* box = gtk_vbox_new(FALSE, kSpacing);
  gtk_container_set_border_width(GTK_CONTAINER(box), kBorder);
  GtkWidget* label = gtk_label_new(narrow_lib(LoadResString("IDS_PREPARECOPY")).c_str());
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  bar_ = gtk_progress_bar_new();
  gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar_), kPulseStep);
  gtk_widget_set_size_request(bar_, kBarWidth, -1);
  gtk_box_pack_start(GTK_BOX(box), bar_, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window_), box);
  gtk_widget_show_all(window_);
  shown_ = true;
}

void KitPreparation::closeWindow() {
  if (window_ == nullptr) return;
  gtk_widget_destroy(window_);
  window_ = nullptr;
  bar_ = nullptr;
  // Let the display take the window away before whatever comes next.
  for (int i = 0; i < 100 && gtk_events_pending(); ++i) gtk_main_iteration();
}
