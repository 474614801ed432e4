// The toolkit's own texts (the folder chooser's Places, Name, Create Folder,
// a box's name for screen readers) in the wizard's language rather than the
// system's: the toolkit translates through gettext, whose language list
// (LANGUAGE) is set to the interface language. gettext ignores that list
// under the plain "C" locale, so the messages' locale then becomes C.UTF-8,
// which every system has and which changes nothing else the wizard shows.
#ifndef OVN8_UI_TOOLKIT_LANGUAGE_H_
#define OVN8_UI_TOOLKIT_LANGUAGE_H_

#include <string>

// `code`: the interface language's code ("de"). Call after the toolkit has
// set the locale (gtk_init); a later call changes the language of the texts
// looked up from then on.
void speak_toolkit_language(const std::string& code);

#endif  // OVN8_UI_TOOLKIT_LANGUAGE_H_
