// Opens a document with the desktop's viewer (xdg-open), without a shell:
// the path travels as one argument, whatever characters it holds.
#ifndef OVN8_UI_DOCUMENT_OPENER_H_
#define OVN8_UI_DOCUMENT_OPENER_H_

#include <string>
#include <vector>

// Starts `xdg-open <path>` and does not wait for it; its error output is
// discarded. False when it could not be started.
bool open_document(const std::string& path);

// Test seam: while set, open_document hands the argument vector to this
// function instead of starting a process, and returns its answer.
typedef bool (*ProcessLauncher)(const std::vector<std::string>& argv);
void set_process_launcher(ProcessLauncher launcher);

#endif  // OVN8_UI_DOCUMENT_OPENER_H_
