// The window base class. Its virtual operations give message boxes
// (platform/message_box.h) their title and the window they belong to; the
// main window overrides them.
#ifndef OVN8_UI_CWND_H_
#define OVN8_UI_CWND_H_

#include <string>

// The toolkit's widget type, declared as the toolkit itself declares it, so
// that code without the toolkit's headers can hold one.
typedef struct _GtkWidget GtkWidget;

class CWnd {
 public:
  virtual ~CWnd() {}
  // The window's title as a wide string; empty for a plain CWnd.
  virtual std::u16string getWindowTitle() { return std::u16string(); }
  // The toplevel window that boxes are kept above and centred on; null for
  // a plain CWnd and while the window does not exist.
  virtual GtkWidget* getWindowWidget() { return nullptr; }
};

#endif  // OVN8_UI_CWND_H_
