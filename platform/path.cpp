#include "platform/path.h"

namespace {

template <class Char>
bool is_separator(Char unit, PathSeparators separators) {
  return unit == Char('/') || (separators == PathSeparators::kSlashAndBackslash && unit == Char('\\'));
}

template <class String>
String without_trailing(const String& path, PathSeparators separators) {
  size_t length = path.size();
  while (length > 1 && is_separator(path[length - 1], separators)) --length;
  return path.substr(0, length);
}

template <class String>
String with_trailing(const String& path, PathSeparators separators) {
  typedef typename String::value_type Char;
  if (path.empty() || is_separator(path.back(), separators)) return path;
  return path + Char('/');
}

}  // namespace

std::u16string without_trailing_separator(const std::u16string& path, PathSeparators separators) {
  return without_trailing(path, separators);
}

std::string without_trailing_separator(const std::string& path, PathSeparators separators) {
  return without_trailing(path, separators);
}

std::u16string with_trailing_separator(const std::u16string& path, PathSeparators separators) {
  return with_trailing(path, separators);
}

std::string with_trailing_separator(const std::string& path, PathSeparators separators) {
  return with_trailing(path, separators);
}

std::u16string parent_directory(const std::u16string& path, PathSeparators separators) {
  size_t separator = path.size();
  while (separator > 0 && !is_separator(path[separator - 1], separators)) --separator;
  if (separator == 0) return std::u16string();
  if (separator == 1) return path.substr(0, 1);
  return path.substr(0, separator - 1);
}

std::string last_path_component(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool path_up_one_level(std::u16string& level) {
  const size_t slash = level.rfind(u'/');
  if (slash == std::u16string::npos) return false;
  level.resize(slash == 0 ? 1 : slash);
  return true;
}

bool path_down_one_level(const std::u16string& full, std::u16string& level) {
  size_t start = level.size();
  while (start < full.size() && full[start] == u'/') ++start;
  size_t end = full.find(u'/', start);
  if (end == std::u16string::npos) end = full.size();
  level.append(full, level.size(), end - level.size());
  return start != end;
}

bool relative_path_key(const std::u16string& relative, std::u16string& key) {
  key.clear();
  size_t begin = 0;
  while (begin <= relative.size()) {
    size_t end = relative.find(u'/', begin);
    if (end == std::u16string::npos) end = relative.size();
    size_t length = end - begin;
    if (length == 2 && relative[begin] == u'.' && relative[begin + 1] == u'.') return false;
    bool skip = length == 0 || (length == 1 && relative[begin] == u'.');
    if (!skip) {
      if (!key.empty()) key.push_back(u'/');
      key.append(relative, begin, length);
    }
    begin = end + 1;
  }
  return !key.empty();
}
