#include "platform/message_box.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/stop_signals.h"
#include "platform/text.h"

namespace {

MessageBoxResponder& responder() {
  static MessageBoxResponder r;
  return r;
}

MessageBoxMode g_messageBoxMode = MessageBoxMode::Interactive;
bool g_echo = false;

MessageBoxButtonTexts& button_texts() {
  static MessageBoxButtonTexts texts;
  return texts;
}

MessageBoxKindNames& kind_names() {
  static MessageBoxKindNames names;
  return names;
}

const MessageBoxDialogs* g_dialogs = nullptr;

// Only a program with the toolkit can show a dialog, and only on a display.
bool dialogs_ready() { return g_dialogs != nullptr && g_dialogs->ready(); }

// A box's text never takes more than this, however wide the screen: lines
// longer than that are hard to read.
const int kMaxTextWidth = 560;
// What the icon, the borders and the window frame take besides the text.
const int kBoxChrome = 160;

int console_answer(const MessageBoxRequest& request) {
  return request.isQuestion() ? kMessageBoxResultNo : kMessageBoxResultOk;
}

void write_console_line(const MessageBoxRequest& request) {
  std::string line = message_box_console_line(request) + "\n";
  fputs(line.c_str(), stderr);
  fflush(stderr);
}

}  // namespace

int messageBox(CWnd* parent, const std::u16string& text, unsigned flags) {
  MessageBoxRequest request;
  request.text = text;
  request.flags = flags;
  if (parent != nullptr) {
    request.hasParent = true;
    request.title = parent->getWindowTitle();
    request.window = parent->getWindowWidget();
  }
  if (responder()) return responder()(request);
  switch (g_messageBoxMode) {
    case MessageBoxMode::Console:
      write_console_line(request);
      return console_answer(request);
    case MessageBoxMode::AutoClose:
      write_console_line(request);
      // Without a display the box cannot be shown: answer as Console does.
      if (!dialogs_ready()) return console_answer(request);
      return g_dialogs->show(request, true);
    case MessageBoxMode::Interactive:
      break;
  }
  if (!dialogs_ready()) {
    // Nobody can see a dialog: say it on standard error instead of crashing.
    write_console_line(request);
    return kMessageBoxResultNone;
  }
  // A stop signal came while it could only be recorded (the end of a run)
  // and nothing has ended the program since: the box must not wait.
  if (stop_requested() && !stop_signals_deferred()) {
    write_console_line(request);
    return console_answer(request);
  }
  if (g_echo) write_console_line(request);
  return g_dialogs->show(request, false);
}

void set_message_box_button_texts(const MessageBoxButtonTexts& texts) { button_texts() = texts; }

const MessageBoxButtonTexts& message_box_button_texts() { return button_texts(); }

void set_message_box_kind_names(const MessageBoxKindNames& names) { kind_names() = names; }

const MessageBoxKindNames& message_box_kind_names() { return kind_names(); }

void set_message_box_dialogs(const MessageBoxDialogs* dialogs) { g_dialogs = dialogs; }

int message_box_text_width(int screenWidth) {
  return std::max(kMaxTextWidth / 2, std::min(kMaxTextWidth, screenWidth - kBoxChrome));
}

void set_message_box_echo(bool on) { g_echo = on; }

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
  // as the box would show it, then the text, whose line breaks become
  // spaces. The names in it were made printable where they were put in;
  // whatever else is no text is escaped here.
  std::string line = request.title.empty() ? "" : narrow_lib(request.title) + ": ";
  line += narrow_lib(request.text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return printable(line, Backslash::kKept);
}
