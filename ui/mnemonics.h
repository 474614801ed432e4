// Access keys (Alt+letter) for the wizard's buttons and fields in whatever
// language it speaks: the translations carry no marks of their own, so each
// label gets the first letter that no other label of the window has taken.
#ifndef OVN8_UI_MNEMONICS_H_
#define OVN8_UI_MNEMONICS_H_

#include <string>
#include <vector>

// `labels` (UTF-8) with a "_" before one letter or digit each, no letter
// (case aside) used twice; a word's first letter is preferred. A label
// without a free letter gets none; a "_" of the text itself is doubled.
std::vector<std::string> with_mnemonics(const std::vector<std::string>& labels);

// The wizard's text `key` in the current language with its access key, as
// chosen among all the window's labels at once.
std::string mnemonic_text(const char* key);

// What a screen reader should say for a label: without access-key marks and
// without the arrows of "< Back" and "Next >".
std::string undecorated(const std::string& label);

#endif  // OVN8_UI_MNEMONICS_H_
