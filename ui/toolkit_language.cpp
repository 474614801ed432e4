#include "ui/toolkit_language.h"

#include <locale.h>
#include <stdlib.h>

#include <cstring>

void speak_toolkit_language(const std::string& code) {
  if (code.empty()) return;
  setenv("LANGUAGE", code.c_str(), 1);
  const char* messages = setlocale(LC_MESSAGES, nullptr);
  if (messages == nullptr || std::strcmp(messages, "C") == 0 || std::strcmp(messages, "POSIX") == 0)
    setlocale(LC_MESSAGES, "C.UTF-8");
}
