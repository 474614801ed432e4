// The window base class. Its one virtual operation gives message boxes
// (platform/message_box.h) their title; the main window overrides it.
#ifndef OVN8_UI_CWND_H_
#define OVN8_UI_CWND_H_

#include <string>

class CWnd {
 public:
  virtual ~CWnd() {}
  // The window's title as a wide string; empty for a plain CWnd.
  virtual std::u16string getWindowTitle() { return std::u16string(); }
};

#endif  // OVN8_UI_CWND_H_
