#include "platform/message_box.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <utility>

#include "platform/text.h"
#include "ui/cwnd.h"

namespace {

MessageBoxResponder& responder() {
  static MessageBoxResponder r;
  return r;
}

MessageBoxMode g_messageBoxMode = MessageBoxMode::Interactive;

int console_answer(const MessageBoxRequest& request) {
  return request.isQuestion() ? kMessageBoxResultNo : kMessageBoxResultOk;
}

void write_console_line(const MessageBoxRequest& request) {
  std::string line = message_box_console_line(request) + "\n";
  fputs(line.c_str(), stderr);
  fflush(stderr);
}

// AutoClose: answers the dialog unless the user did first.
struct AutoCloseState {
  GtkDialog* dialog;
  gint response;
  guint source;
};

gboolean auto_close(gpointer data) {
  AutoCloseState* state = static_cast<AutoCloseState*>(data);
  state->source = 0;
  gtk_dialog_response(state->dialog, state->response);
  return FALSE;
}

// The toolkit is normally initialised by the dialog window long before a box
// is shown; a box that comes earlier initialises it here.
bool toolkit_ready() {
  if (gdk_display_get_default() != nullptr) return true;
  return gtk_init_check(nullptr, nullptr) != FALSE;
}

int show_dialog(const MessageBoxRequest& request, bool autoClose) {
  const unsigned type = request.flags & kMessageBoxTypeMask;
  GtkMessageType messageType = type == kMessageBoxError      ? GTK_MESSAGE_ERROR
                               : type == kMessageBoxQuestion ? GTK_MESSAGE_QUESTION
                                                             : GTK_MESSAGE_OTHER;
  GtkButtonsType buttons = request.isQuestion() ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK;
  const std::string text = narrow_lib(request.text);
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, messageType, buttons,
                                             "%s", text.c_str());
  if (request.hasParent) {
    gtk_window_set_title(GTK_WINDOW(dialog), narrow_lib(request.title).c_str());
  }
  AutoCloseState state = {GTK_DIALOG(dialog),
                          request.isQuestion() ? GTK_RESPONSE_NO : GTK_RESPONSE_OK, 0};
  if (autoClose) state.source = g_timeout_add(kMessageBoxAutoCloseMs, auto_close, &state);
  const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  if (state.source != 0) g_source_remove(state.source);
  gtk_widget_destroy(dialog);
  switch (response) {
    case GTK_RESPONSE_YES: return kMessageBoxResultYes;
    case GTK_RESPONSE_NO: return kMessageBoxResultNo;
    case GTK_RESPONSE_OK: return kMessageBoxResultOk;
    default: return kMessageBoxResultNone;
  }
}

}  // namespace

int messageBox(CWnd* parent, const std::u16string& text, unsigned flags) {
  MessageBoxRequest request;
  request.text = text;
  request.flags = flags;
  if (parent != nullptr) {
    request.hasParent = true;
    request.title = parent->getWindowTitle();
  }
  if (responder()) return responder()(request);
  switch (g_messageBoxMode) {
    case MessageBoxMode::Console:
      write_console_line(request);
      return console_answer(request);
    case MessageBoxMode::AutoClose:
      write_console_line(request);
      // Without a display the box cannot be shown: answer as Console does.
      if (!toolkit_ready()) return console_answer(request);
      return show_dialog(request, true);
    case MessageBoxMode::Interactive:
      break;
  }
  if (!toolkit_ready()) {
    // Nobody can see a dialog: say it on standard error instead of crashing.
    write_console_line(request);
    return kMessageBoxResultNone;
  }
  return show_dialog(request, false);
}

void set_message_box_responder(MessageBoxResponder r) { responder() = std::move(r); }

void set_message_box_mode(MessageBoxMode mode) { g_messageBoxMode = mode; }

MessageBoxMode message_box_mode() { return g_messageBoxMode; }

bool parse_message_box_mode(const std::string& name, MessageBoxMode* mode) {
  MessageBoxMode m;
  if (name == "interactive") m = MessageBoxMode::Interactive;
  else if (name == "autoclose") m = MessageBoxMode::AutoClose;
  else if (name == "console") m = MessageBoxMode::Console;
  else return false;
  if (mode != nullptr) *mode = m;
  return true;
}

std::string message_box_console_line(const MessageBoxRequest& request) {
  // Everything on the line is in the interface language: the window's title,
  // as the box would show it, then the text.
  std::string line = request.title.empty() ? "" : narrow_lib(request.title) + ": ";
  line += narrow_lib(request.text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}
