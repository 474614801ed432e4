#include "platform/message_box.h"
#include "platform/message_box_dialog.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/cwnd.h"

namespace {

class TitledWnd : public CWnd {
 public:
  explicit TitledWnd(std::u16string title) : title_(std::move(title)) {}
  std::u16string getWindowTitle() override { return title_; }

 private:
  std::u16string title_;
};

// Puts the defaults back after every test.
class MessageBoxTest : public testing::Test {
 protected:
  void TearDown() override {
    set_message_box_responder(nullptr);
    set_message_box_mode(MessageBoxMode::Interactive);
    set_message_box_echo(false);
    set_message_box_button_texts({});
    set_message_box_dialogs(nullptr);
  }
};

TEST_F(MessageBoxTest, PlainCWndHasEmptyTitle) {
  CWnd wnd;
  EXPECT_EQ(wnd.getWindowTitle(), u"");
}

TEST_F(MessageBoxTest, ResponderAnswersWithTextFlagsAndTitle) {
  std::vector<MessageBoxRequest> seen;
  set_message_box_responder([&](const MessageBoxRequest& r) {
    seen.push_back(r);
    return r.isQuestion() ? kMessageBoxResultYes : kMessageBoxResultOk;
  });
  TitledWnd parent(u"Установка конфигурации");
  EXPECT_EQ(messageBox(&parent, u"Do you really want to cancel installation?", 0x2000002), 1);
  EXPECT_EQ(messageBox(nullptr, u"100% done", 0x1000001), 3);
  CWnd plain;
  EXPECT_EQ(messageBox(&plain, u"x", 1), 3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].text, u"Do you really want to cancel installation?");
  EXPECT_EQ(seen[0].flags, 0x2000002u);
  EXPECT_TRUE(seen[0].hasParent);
  EXPECT_EQ(seen[0].title, u"Установка конфигурации");
  EXPECT_TRUE(seen[0].isQuestion());
  EXPECT_EQ(seen[1].text, u"100% done");
  EXPECT_FALSE(seen[1].hasParent);
  EXPECT_EQ(seen[1].title, u"");
  EXPECT_FALSE(seen[1].isQuestion());
  EXPECT_TRUE(seen[2].hasParent);
  EXPECT_EQ(seen[2].title, u"");
}

TEST_F(MessageBoxTest, ResponderWinsOverConsoleMode) {
  set_message_box_mode(MessageBoxMode::Console);
  set_message_box_responder([](const MessageBoxRequest&) { return 0; });
  testing::internal::CaptureStderr();
  EXPECT_EQ(messageBox(nullptr, u"q", 0x2000002), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(MessageBoxTest, ConsoleModeWritesOneLineAndAnswersWithoutToolkit) {
  set_message_box_mode(MessageBoxMode::Console);
  EXPECT_EQ(message_box_mode(), MessageBoxMode::Console);
  testing::internal::CaptureStderr();
  EXPECT_EQ(messageBox(nullptr, u"Distribution kit file ovn8.okd not found.", 0x1000001), 3);
  EXPECT_EQ(messageBox(nullptr, u"Line one\nline two", 1), 3);
  // A name that slipped in unescaped sends no sequence to the terminal;
  // backslashes of names escaped before stay as they are.
  EXPECT_EQ(messageBox(nullptr, u"Folder:\n/tmp/\x1b[2Jred\x9b\rC:\\x1b", 1), 3);
  EXPECT_EQ(messageBox(nullptr, u"Cancel?", 0x2000002), 2);
  // Any low byte but 2 is an OK box.
  EXPECT_EQ(messageBox(nullptr, u"odd", 0x2000004), 3);
  // A box of a window carries its title, in the interface language.
  TitledWnd wnd(u"Установка конфигурации");
  EXPECT_EQ(messageBox(&wnd, u"Ошибка при инсталляции", 0x1000001), 3);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Distribution kit file ovn8.okd not found.\n"
            "Line one line two\n"
            "Folder: /tmp/\\x1b[2Jred\\u009b C:\\x1b\n"
            "Cancel?\n"
            "odd\n"
            "Установка конфигурации: Ошибка при инсталляции\n");
  // The toolkit was never touched: no display was opened.
  EXPECT_EQ(gdk_display_get_default(), nullptr);
}

// A program without the toolkit's dialogs (the one without a window) says
// every box on standard error in every mode, and waits for nobody: OK for
// an OK box, No for a question, and no answer where a person was meant to
// give one. A program with them that finds no display does the same.
TEST_F(MessageBoxTest, WithoutDialogsEveryModeSaysTheBoxAsALine) {
  struct FakeDialogs {
    static bool ready() { return false; }
    static int show(const MessageBoxRequest&, bool) { return -1; }
  };
  const MessageBoxDialogs noDisplay = {FakeDialogs::ready, FakeDialogs::show};
  for (const MessageBoxDialogs* dialogs : {static_cast<const MessageBoxDialogs*>(nullptr), &noDisplay}) {
    set_message_box_dialogs(dialogs);
    testing::internal::CaptureStderr();
    set_message_box_mode(MessageBoxMode::AutoClose);
    EXPECT_EQ(messageBox(nullptr, u"auto ok", kMessageBoxOk), kMessageBoxResultOk);
    EXPECT_EQ(messageBox(nullptr, u"auto question", kMessageBoxQuestion | kMessageBoxYesNo), kMessageBoxResultNo);
    set_message_box_mode(MessageBoxMode::Interactive);
    EXPECT_EQ(messageBox(nullptr, u"asked", kMessageBoxQuestion | kMessageBoxYesNo), kMessageBoxResultNone);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "auto ok\nauto question\nasked\n");
  }
  // Dialogs that can be shown are shown, in the mode asked for.
  struct ShownDialogs {
    static bool ready() { return true; }
    static int show(const MessageBoxRequest& request, bool autoClose) {
      return request.text == u"shown" && autoClose ? 42 : -1;
    }
  };
  const MessageBoxDialogs shown = {ShownDialogs::ready, ShownDialogs::show};
  set_message_box_dialogs(&shown);
  set_message_box_mode(MessageBoxMode::AutoClose);
  testing::internal::CaptureStderr();
  EXPECT_EQ(messageBox(nullptr, u"shown", kMessageBoxOk), 42);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown\n");
}

TEST_F(MessageBoxTest, ParseMode) {
  MessageBoxMode m = MessageBoxMode::Interactive;
  EXPECT_TRUE(parse_message_box_mode("console", &m));
  EXPECT_EQ(m, MessageBoxMode::Console);
  EXPECT_TRUE(parse_message_box_mode("autoclose", &m));
  EXPECT_EQ(m, MessageBoxMode::AutoClose);
  EXPECT_TRUE(parse_message_box_mode("interactive", &m));
  EXPECT_EQ(m, MessageBoxMode::Interactive);
  EXPECT_FALSE(parse_message_box_mode("Console", &m));
  EXPECT_FALSE(parse_message_box_mode("", &m));
  EXPECT_EQ(m, MessageBoxMode::Interactive);
}

// ---- Real dialogs under the X server (xvfb-run in scripts/test). ----

struct SeenDialog {
  bool found = false;
  std::string title;
  std::string text;
  GtkMessageType type = GTK_MESSAGE_OTHER;
  bool modal = false;
  bool transient = true;
  std::vector<gint> responses;  // of the buttons, in order
  std::vector<std::string> labels;
};

struct Answer {
  gint response;  // what to answer; GTK_RESPONSE_DELETE_EVENT closes the window
  SeenDialog seen;
};

GtkWidget* find_message_dialog() {
  GtkWidget* result = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) {
    if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
      result = GTK_WIDGET(w->data);
    }
  }
  g_list_free(windows);
  return result;
}

void record(GtkWidget* dialog, SeenDialog* seen) {
  seen->found = true;
  const gchar* title = gtk_window_get_title(GTK_WINDOW(dialog));
  seen->title = title != nullptr ? title : "";
  gchar* text = nullptr;
  g_object_get(dialog, "text", &text, "message-type", &seen->type, nullptr);
  seen->text = text != nullptr ? text : "";
  g_free(text);
  seen->modal = gtk_window_get_modal(GTK_WINDOW(dialog));
  seen->transient = gtk_window_get_transient_for(GTK_WINDOW(dialog)) != nullptr;
  GList* buttons = gtk_container_get_children(
      GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))));
  for (GList* b = buttons; b != nullptr; b = b->next) {
    seen->responses.push_back(
        gtk_dialog_get_response_for_widget(GTK_DIALOG(dialog), GTK_WIDGET(b->data)));
    const gchar* label = gtk_button_get_label(GTK_BUTTON(b->data));
    seen->labels.push_back(label != nullptr ? label : "");
  }
  g_list_free(buttons);
}

gboolean answer_dialog(gpointer data) {
  Answer* answer = static_cast<Answer*>(data);
  GtkWidget* dialog = find_message_dialog();
  if (dialog == nullptr) return TRUE;  // not shown yet: try again
  record(dialog, &answer->seen);
  if (answer->response == GTK_RESPONSE_DELETE_EVENT) {
    // As the window manager's close button does.
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
  } else {
    gtk_dialog_response(GTK_DIALOG(dialog), answer->response);
  }
  return FALSE;
}

// Shows a real box and answers it from a timeout once it is on screen.
int run_answered(CWnd* parent, const std::u16string& text, unsigned flags, Answer* answer,
                 guint delayMs = 50) {
  guint source = g_timeout_add(delayMs, answer_dialog, answer);
  int result = messageBox(parent, text, flags);
  if (!answer->seen.found) g_source_remove(source);
  return result;
}

class MessageBoxGuiTest : public MessageBoxTest {
 protected:
  void SetUp() override {
    if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no X display";
    use_toolkit_message_boxes();
  }
};

TEST_F(MessageBoxGuiTest, QuestionYesNoAndTitle) {
  TitledWnd parent(u"Установка конфигурации");
  Answer yes{GTK_RESPONSE_YES, {}};
  EXPECT_EQ(run_answered(&parent, u"Do you really want to cancel installation?", 0x2000002, &yes),
            1);
  ASSERT_TRUE(yes.seen.found);
  EXPECT_EQ(yes.seen.title, "Установка конфигурации");
  EXPECT_EQ(yes.seen.text, "Do you really want to cancel installation?");
  EXPECT_EQ(yes.seen.type, GTK_MESSAGE_QUESTION);
  EXPECT_TRUE(yes.seen.modal);
  EXPECT_FALSE(yes.seen.transient);
  std::vector<gint> yesNo = yes.seen.responses;
  std::sort(yesNo.begin(), yesNo.end());
  EXPECT_EQ(yesNo, (std::vector<gint>{GTK_RESPONSE_NO, GTK_RESPONSE_YES}));  // -9, -8

  Answer no{GTK_RESPONSE_NO, {}};
  EXPECT_EQ(run_answered(&parent, u"Cancel?", 0x2000002, &no), 2);
  Answer closed{GTK_RESPONSE_DELETE_EVENT, {}};
  EXPECT_EQ(run_answered(&parent, u"Cancel?", 0x2000002, &closed), 0);
  ASSERT_TRUE(closed.seen.found);
}

TEST_F(MessageBoxGuiTest, ErrorAndPlainBoxesHaveOneOkButton) {
  CWnd plain;
  Answer error{GTK_RESPONSE_OK, {}};
  EXPECT_EQ(run_answered(&plain, u"100% %s %d", 0x1000001, &error), 3);
  ASSERT_TRUE(error.seen.found);
  EXPECT_EQ(error.seen.text, "100% %s %d");  // shown literally
  EXPECT_EQ(error.seen.type, GTK_MESSAGE_ERROR);
  EXPECT_EQ(error.seen.title, "");  // a plain CWnd's title is empty
  EXPECT_EQ(error.seen.responses, std::vector<gint>{GTK_RESPONSE_OK});

  Answer message{GTK_RESPONSE_OK, {}};
  EXPECT_EQ(run_answered(nullptr, u"Готово", 1, &message), 3);
  ASSERT_TRUE(message.seen.found);
  EXPECT_EQ(message.seen.type, GTK_MESSAGE_OTHER);
  EXPECT_EQ(message.seen.text, "Готово");
  EXPECT_EQ(message.seen.responses, std::vector<gint>{GTK_RESPONSE_OK});

  // Escape on an OK box is no answer.
  Answer escaped{GTK_RESPONSE_DELETE_EVENT, {}};
  EXPECT_EQ(run_answered(nullptr, u"x", 1, &escaped), 0);
}

// A window that boxes belong to.
class WindowedWnd : public CWnd {
 public:
  WindowedWnd() : window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)) {
    gtk_window_set_default_size(GTK_WINDOW(window_), 300, 200);
    gtk_widget_show(window_);
  }
  ~WindowedWnd() override { gtk_widget_destroy(window_); }
  std::u16string getWindowTitle() override { return u"Wizard"; }
  GtkWidget* getWindowWidget() override { return window_; }

 private:
  GtkWidget* window_;
};

TEST_F(MessageBoxGuiTest, BoxesBelongToTheParentsWindowAndCarryTheGivenButtonTexts) {
  set_message_box_button_texts({u"Так", u"Ні", u"Гаразд"});
  WindowedWnd wizard;
  Answer yes{GTK_RESPONSE_YES, {}};
  EXPECT_EQ(run_answered(&wizard, u"Скасувати?", 0x2000002, &yes), 1);
  ASSERT_TRUE(yes.seen.found);
  EXPECT_TRUE(yes.seen.transient);
  EXPECT_EQ(yes.seen.labels, (std::vector<std::string>{"Так", "Ні"}));  // packed from the end
  Answer ok{GTK_RESPONSE_OK, {}};
  EXPECT_EQ(run_answered(&wizard, u"Помилка", 0x1000001, &ok), 3);
  EXPECT_EQ(ok.seen.labels, std::vector<std::string>{"Гаразд"});

  // Without texts the toolkit's own buttons stay; without a window, no parent.
  set_message_box_button_texts({});
  CWnd plain;
  Answer stock{GTK_RESPONSE_OK, {}};
  EXPECT_EQ(run_answered(&plain, u"x", 1, &stock), 3);
  EXPECT_FALSE(stock.seen.transient);
  EXPECT_EQ(stock.seen.labels, std::vector<std::string>{GTK_STOCK_OK});
}

TEST_F(MessageBoxGuiTest, EchoWritesTheLineAndTheBoxStillWaits) {
  set_message_box_echo(true);
  TitledWnd parent(u"Setup");
  testing::internal::CaptureStderr();
  // Answered after twice the unattended delay: nothing closed it before.
  Answer ok{GTK_RESPONSE_OK, {}};
  EXPECT_EQ(run_answered(&parent, u"Kit not found.", 0x1000001, &ok,
                         2 * kMessageBoxAutoCloseMs),
            3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Setup: Kit not found.\n");
  EXPECT_TRUE(ok.seen.found);
}

TEST_F(MessageBoxGuiTest, AutoCloseAnswersByItself) {
  set_message_box_mode(MessageBoxMode::AutoClose);
  testing::internal::CaptureStderr();
  const gint64 start = g_get_monotonic_time();
  EXPECT_EQ(messageBox(nullptr, u"Configuration installed successfully.", 1), 3);
  EXPECT_EQ(messageBox(nullptr, u"Cancel?", 0x2000002), 2);
  const gint64 elapsedMs = (g_get_monotonic_time() - start) / 1000;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Configuration installed successfully.\n"
            "Cancel?\n");
  EXPECT_GE(elapsedMs, 2 * static_cast<gint64>(kMessageBoxAutoCloseMs) - 100);
  EXPECT_EQ(find_message_dialog(), nullptr);  // both destroyed
}

TEST_F(MessageBoxGuiTest, AutoCloseTakesAnEarlierAnswer) {
  set_message_box_mode(MessageBoxMode::AutoClose);
  testing::internal::CaptureStderr();
  Answer yes{GTK_RESPONSE_YES, {}};
  EXPECT_EQ(run_answered(nullptr, u"Cancel?", 0x2000002, &yes), 1);
  testing::internal::GetCapturedStderr();
  // The auto-close timeout of that box was removed: a later box that stays
  // open past it is not answered by it.
  Answer yesAgain{GTK_RESPONSE_YES, {}};
  set_message_box_mode(MessageBoxMode::Interactive);
  EXPECT_EQ(run_answered(nullptr, u"Again?", 0x2000002, &yesAgain,
                         kMessageBoxAutoCloseMs + 300),
            1);
}

}  // namespace
