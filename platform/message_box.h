// A modal message box in the manner of the Win32 MessageBox, plus the seams
// that let tests and unattended runs answer it. The dialog itself is the
// toolkit's (platform/message_box_dialog.h): a program without the toolkit
// shows every box as a line on standard error.
#ifndef OVN8_PLATFORM_MESSAGE_BOX_H_
#define OVN8_PLATFORM_MESSAGE_BOX_H_

#include <functional>
#include <string>

#include "ui/cwnd.h"

// Flags: the top byte (bits 24..31) chooses the kind of box, the low byte
// (bits 0..7) the buttons. In use: 0x2000002 (question, Yes/No), 0x1000001
// (error, OK) and 1 (plain message, OK).
enum : unsigned {
  kMessageBoxTypeMask = 0xFF000000u,
  kMessageBoxError = 0x01000000u,     // error dialog
  kMessageBoxQuestion = 0x02000000u,  // question dialog
  kMessageBoxWarning = 0x03000000u,   // warning dialog; any other top byte: no icon
  kMessageBoxButtonsMask = 0x000000FFu,
  kMessageBoxOk = 1u,                 // a single OK button (any low byte but 2)
  kMessageBoxYesNo = 2u,              // the buttons Yes and No
};

// Results of messageBox.
enum : int {
  kMessageBoxResultNone = 0,  // closed without an answer (window manager, Escape)
  kMessageBoxResultYes = 1,
  kMessageBoxResultNo = 2,
  kMessageBoxResultOk = 3,
};

// Shows a modal message dialog and waits for the answer. The text is shown
// literally (a "%" stays a "%"); with a parent, the dialog's title is the
// parent's getWindowTitle(), else the toolkit's default title stays. When
// the parent has a window (getWindowWidget), the dialog is transient for it:
// centred on it and kept above it. The buttons carry the texts given to
// set_message_box_button_texts. Result: Yes 1, No 2, OK 3, anything else 0.
// Call on the interface thread only, holding the toolkit's lock as for any
// toolkit call (ui/toolkit_threads.h): the box's loop gives the lock back
// while it waits and takes it again before returning.
int messageBox(CWnd* parent, const std::u16string& text, unsigned flags);

// What a box asks; handed to a responder.
struct MessageBoxRequest {
  std::u16string text;
  unsigned flags = 0;
  bool hasParent = false;
  std::u16string title;  // the parent's title; empty without a parent
  GtkWidget* window = nullptr;  // the parent's window, when it has one

  bool isQuestion() const { return (flags & kMessageBoxButtonsMask) == kMessageBoxYesNo; }
};

// Test seam: while a responder is installed, every box is answered by it
// (its return value is messageBox's result) and no dialog is shown, whatever
// the mode. An empty function removes it.
typedef std::function<int(const MessageBoxRequest&)> MessageBoxResponder;
void set_message_box_responder(MessageBoxResponder responder);

// The labels of the buttons, in the interface language. The toolkit's own
// labels follow the system's locale, not the language the wizard speaks, so
// the wizard sets these once its language is chosen. An empty text leaves
// that button to the toolkit.
struct MessageBoxButtonTexts {
  std::u16string yes;
  std::u16string no;
  std::u16string ok;
};
void set_message_box_button_texts(const MessageBoxButtonTexts& texts);
const MessageBoxButtonTexts& message_box_button_texts();

// What a screen reader calls each kind of box, in the interface language
// (the toolkit's own names follow the system's locale). An empty name
// leaves the toolkit's.
struct MessageBoxKindNames {
  std::u16string error;
  std::u16string question;
  std::u16string warning;
  std::u16string notice;  // a box without an icon
};
void set_message_box_kind_names(const MessageBoxKindNames& names);
const MessageBoxKindNames& message_box_kind_names();

// The widest a box's text may be on a screen `screenWidth` pixels wide: a
// long path wraps (and stays selectable) instead of pushing the box and its
// buttons off the screen.
int message_box_text_width(int screenWidth);


// While on, every box shown for a person (Interactive) also writes its line
// to standard error, as the unattended modes do: a silent run under a display
// waits for its error box and still leaves the reason in its output.
void set_message_box_echo(bool on);

// How boxes are shown when no responder is installed.
enum class MessageBoxMode {
  // The dialog waits for the user (the default).
  Interactive,
  // The text goes to standard error as one line, the dialog is shown and
  // closes by itself after kMessageBoxAutoCloseMs, answering OK for OK boxes
  // and No for questions (an earlier answer by the user counts instead).
  AutoClose,
  // No display at all (or no toolkit in the program): the text goes to
  // standard error as one line and the
  // answer is OK (3) for OK boxes and No (2) for questions. The toolkit is
  // never touched.
  Console,
};
constexpr unsigned kMessageBoxAutoCloseMs = 1500;

void set_message_box_mode(MessageBoxMode mode);
MessageBoxMode message_box_mode();
// "interactive", "autoclose" or "console" (as written); false for anything else.
bool parse_message_box_mode(const std::string& name, MessageBoxMode* mode);

// The one line that AutoClose and Console write for a box (no newline).
std::string message_box_console_line(const MessageBoxRequest& request);

// The toolkit's side of the boxes. Without it (the default) a box is never
// a dialog: it is answered as when no display can be opened.
struct MessageBoxDialogs {
  bool (*ready)();  // a display is open, or one could be opened now
  // Shows the dialog and waits for its answer (messageBox's result); with
  // `autoClose` it answers itself after kMessageBoxAutoCloseMs.
  int (*show)(const MessageBoxRequest& request, bool autoClose);
};
void set_message_box_dialogs(const MessageBoxDialogs* dialogs);

#endif  // OVN8_PLATFORM_MESSAGE_BOX_H_
