#include "platform/message_box_dialog.h"

#include <gtk/gtk.h>

#include "platform/message_box.h"
#include "platform/text.h"

namespace {

// The box that is waiting for an answer (main thread only).
GtkDialog* g_openDialog = nullptr;

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

// A button with a plain label (no mnemonic, no stock lookup), or the
// toolkit's stock button when our text is missing.
void add_button(GtkDialog* dialog, const std::u16string& text, const char* stock, gint response) {
  if (text.empty()) {
    gtk_dialog_add_button(dialog, stock, response);
    return;
  }
  GtkWidget* button = gtk_button_new_with_label(narrow_lib(text).c_str());
  gtk_widget_set_can_default(button, TRUE);
  gtk_widget_show(button);
  gtk_dialog_add_action_widget(dialog, button, response);
}

const std::u16string& kind_name(unsigned type) {
  const MessageBoxKindNames& names = message_box_kind_names();
  switch (type) {
    case kMessageBoxError: return names.error;
    case kMessageBoxQuestion: return names.question;
    case kMessageBoxWarning: return names.warning;
    default: return names.notice;
  }
}

GtkMessageType message_type(unsigned type) {
  switch (type) {
    case kMessageBoxError: return GTK_MESSAGE_ERROR;
    case kMessageBoxQuestion: return GTK_MESSAGE_QUESTION;
    case kMessageBoxWarning: return GTK_MESSAGE_WARNING;
    default: return GTK_MESSAGE_OTHER;
  }
}

GtkWidget* message_label(GtkWidget* dialog) {
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
  GList* children = gtk_container_get_children(GTK_CONTAINER(area));
  GtkWidget* label = children && GTK_IS_LABEL(children->data) ? GTK_WIDGET(children->data) : nullptr;
  g_list_free(children);
  return label;
}

// The text wraps within the screen, a long name broken where it must be,
// and can be selected and copied whole.
void bound_text(GtkWidget* dialog, GtkWidget* label) {
  wrap_without_hyphens(label);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  const int bound = message_box_text_width(gdk_screen_get_width(gtk_widget_get_screen(dialog)));
  gtk_widget_set_size_request(label, -1, -1);
  GtkRequisition natural = {0, 0};
  gtk_widget_size_request(label, &natural);
  if (natural.width > bound) gtk_widget_set_size_request(label, bound, -1);
}

// A screen reader names the box by its kind, in the interface language.
void name_for_readers(GtkWidget* dialog, unsigned type) {
  const std::u16string& name = kind_name(type);
  if (!name.empty()) atk_object_set_name(gtk_widget_get_accessible(dialog), narrow_lib(name).c_str());
}

GtkWindow* parent_window(const MessageBoxRequest& request) {
  GtkWidget* window = request.window;
  if (window == nullptr || !GTK_IS_WINDOW(window) || !gtk_widget_get_visible(window)) return nullptr;
  return GTK_WINDOW(window);
}

int show_dialog(const MessageBoxRequest& request, bool autoClose) {
  const unsigned type = request.flags & kMessageBoxTypeMask;
  const std::string text = narrow_lib(request.text);
  GtkWindow* parent = parent_window(request);
  // Transient for the wizard: the window manager keeps the box above it and
  // centres it there, and activating the wizard cannot bury the box.
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, message_type(type),
                                             GTK_BUTTONS_NONE, "%s", text.c_str());
  if (parent) gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
  const MessageBoxButtonTexts& labels = message_box_button_texts();
  if (request.isQuestion()) {
    // No first and the default: Enter does not answer a question by accident.
    add_button(GTK_DIALOG(dialog), labels.no, GTK_STOCK_NO, GTK_RESPONSE_NO);
    add_button(GTK_DIALOG(dialog), labels.yes, GTK_STOCK_YES, GTK_RESPONSE_YES);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_NO);
  } else {
    add_button(GTK_DIALOG(dialog), labels.ok, GTK_STOCK_OK, GTK_RESPONSE_OK);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  }
  if (request.hasParent) {
    gtk_window_set_title(GTK_WINDOW(dialog), narrow_lib(request.title).c_str());
  }
  if (GtkWidget* label = message_label(dialog)) bound_text(dialog, label);
  // A box without a kind has no picture: no empty icon for a screen reader.
  if (message_type(type) == GTK_MESSAGE_OTHER) {
    GtkWidget* image = gtk_message_dialog_get_image(GTK_MESSAGE_DIALOG(dialog));
    gtk_widget_set_no_show_all(image, TRUE);
    gtk_widget_hide(image);
  }
  name_for_readers(dialog, type);
  // The answer's button has the focus, not the selectable text (which
  // would open selected).
  GtkWidget* answer = gtk_dialog_get_widget_for_response(
      GTK_DIALOG(dialog), request.isQuestion() ? GTK_RESPONSE_NO : GTK_RESPONSE_OK);
  if (answer) gtk_widget_grab_focus(answer);
  AutoCloseState state = {GTK_DIALOG(dialog),
                          request.isQuestion() ? GTK_RESPONSE_NO : GTK_RESPONSE_OK, 0};
  // Under the toolkit's lock, as the box's own events are.
  if (autoClose) state.source = gdk_threads_add_timeout(kMessageBoxAutoCloseMs, auto_close, &state);
  GtkDialog* outer = g_openDialog;
  g_openDialog = GTK_DIALOG(dialog);
  const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  g_openDialog = outer;
  if (state.source != 0) g_source_remove(state.source);
  gtk_widget_destroy(dialog);
  switch (response) {
    case GTK_RESPONSE_YES: return kMessageBoxResultYes;
    case GTK_RESPONSE_NO: return kMessageBoxResultNo;
    case GTK_RESPONSE_OK: return kMessageBoxResultOk;
    default: return kMessageBoxResultNone;
  }
}

const MessageBoxDialogs kToolkitDialogs = {toolkit_ready, show_dialog};

}  // namespace

void use_toolkit_message_boxes() { set_message_box_dialogs(&kToolkitDialogs); }

void wrap_without_hyphens(GtkWidget* label) {
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
#if PANGO_VERSION_CHECK(1, 44, 0)
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
#endif
}

void close_open_message_box() {
  if (g_openDialog != nullptr) gtk_dialog_response(g_openDialog, GTK_RESPONSE_NONE);
}
