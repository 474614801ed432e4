// The message boxes' dialogs on the toolkit (GTK+ 2). Only the window
// program and the interface's tests link this; the program without a window
// shows every box as a line (platform/message_box.h).
#ifndef OVN8_PLATFORM_MESSAGE_BOX_DIALOG_H_
#define OVN8_PLATFORM_MESSAGE_BOX_DIALOG_H_

#include "ui/cwnd.h"

// From now on boxes are dialogs wherever a display can be opened.
void use_toolkit_message_boxes();

// Closes the box that is waiting for an answer, if any, as if closed by the
// window manager (kMessageBoxResultNone): a stop signal must not wait for
// the user. Main thread only.
void close_open_message_box();

// Lets a wrapping label break a long word (a path, a file name) anywhere,
// without the hyphen the text layout would add: a hyphen reads as part of
// the name.
void wrap_without_hyphens(GtkWidget* label);

#endif  // OVN8_PLATFORM_MESSAGE_BOX_DIALOG_H_
