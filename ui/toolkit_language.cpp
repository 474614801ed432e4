#include "ui/toolkit_language.h"

#include <locale.h>
#include <stdlib.h>

#include <cstring>

// glibc's count of loaded catalogues: raising it makes gettext forget the
// translations it looked up in the language before.
extern "C" int _nl_msg_cat_cntr;

void speak_toolkit_language(const std::string& code) {
  if (code.empty()) return;
  setenv("LANGUAGE", code.c_str(), 1);
  ++_nl_msg_cat_cntr;
  const char* messages = setlocale(LC_MESSAGES, nullptr);
  if (messages == nullptr || std::strcmp(messages, "C") == 0 || std::strcmp(messages, "POSIX") == 0)
    setlocale(LC_MESSAGES, "C.UTF-8");
}
