#include "ui/mnemonics.h"

#include <glib.h>

#include <cstring>
#include <set>

#include "platform/text.h"
#include "resources/lang.h"

namespace {

// Every label of the window that takes an access key, in order of
// precedence: the buttons used most keep their first letters.
const char* const kWindowLabels[] = {"IDS_WIZARD_NEXT",      "IDS_WIZARD_BACK",
                                     "IDS_WIZARD_CANCEL",    "IDS_WIZARD_FINISH",
                                     "IDS_TEMPLATE_CATALOG", "IDS_SUCCESS_OPENDESCR",
                                     "IDS_MAINT_OPT_REPAIR", "IDS_MAINT_OPT_REMOVE",
                                     "IDS_MAINT_OPT_INSTALL"};

std::string doubled_underscores(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '_') out += '_';
    out += c;
  }
  return out;
}

// Byte offsets of the letters and digits of `text`, words' first letters first.
std::vector<size_t> candidate_offsets(const std::string& text) {
  std::vector<size_t> starts, rest;
  bool inWord = false;
  for (const char* p = text.c_str(); *p; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    const bool letter = g_unichar_isalnum(c);
    if (letter) (inWord ? rest : starts).push_back(size_t(p - text.c_str()));
    inWord = letter;
  }
  starts.insert(starts.end(), rest.begin(), rest.end());
  return starts;
}

}  // namespace

std::vector<std::string> with_mnemonics(const std::vector<std::string>& labels) {
  std::set<gunichar> taken;
  std::vector<std::string> out;
  for (const std::string& label : labels) {
    std::string marked = doubled_underscores(label);
    for (size_t offset : candidate_offsets(label)) {
      const gunichar key = g_unichar_tolower(g_utf8_get_char(label.c_str() + offset));
      if (!taken.insert(key).second) continue;
      const std::string before = doubled_underscores(label.substr(0, offset));
      marked = before + "_" + doubled_underscores(label.substr(offset));
      break;
    }
    out.push_back(marked);
  }
  return out;
}

std::string mnemonic_text(const char* key) {
  std::vector<std::string> labels;
  size_t index = 0;
  for (size_t i = 0; i < G_N_ELEMENTS(kWindowLabels); ++i) {
    labels.push_back(narrow_lib(LoadResString(kWindowLabels[i])));
    if (std::strcmp(kWindowLabels[i], key) == 0) index = i + 1;
  }
  if (index == 0) return doubled_underscores(narrow_lib(LoadResString(key)));
  return with_mnemonics(labels)[index - 1];
}

std::string undecorated(const std::string& label) {
  std::string out;
  for (size_t i = 0; i < label.size(); ++i) {
    const char c = label[i];
    if (c == '_' && i + 1 < label.size() && label[i + 1] == '_') {
      out += '_';
      ++i;
    } else if (c != '_' && c != '<' && c != '>') {
      out += c;
    }
  }
  const size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}
