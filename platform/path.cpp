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

template <class String>
String absolute_from(const String& path, const String& home, const String& cwd) {
  typedef typename String::value_type Char;
  const bool tilde =
      !home.empty() && !path.empty() && path[0] == Char('~') && (path.size() == 1 || path[1] == Char('/'));
  if (tilde) return home + path.substr(1);
  if (path.empty() || path[0] == Char('/') || cwd.empty()) return path;
  size_t start = 0;
  while (start + 1 < path.size() && path[start] == Char('.') && path[start + 1] == Char('/')) start += 2;
  if (start + 1 == path.size() && path[start] == Char('.')) ++start;
  return with_trailing(cwd, PathSeparators::kSlash) + path.substr(start);
}

}  // namespace

std::u16string absolute_path(const std::u16string& path, const std::u16string& home,
                             const std::u16string& cwd) {
  return absolute_from(path, home, cwd);
}

std::string absolute_path(const std::string& path, const std::string& cwd) {
  return absolute_from(path, std::string(), cwd);
}

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

bool normal_relative_path(const std::u16string& path, PathSeparators separators, char16_t joiner,
                          std::u16string& normal) {
  normal.clear();
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = begin;
    while (end < path.size() && !is_separator(path[end], separators)) {
      if (path[end] == u'\0') return false;
      ++end;
    }
    const size_t length = end - begin;
    if (length == 2 && path[begin] == u'.' && path[begin + 1] == u'.') return false;
    const bool skip = length == 0 || (length == 1 && path[begin] == u'.');
    if (!skip) {
      if (!normal.empty()) normal.push_back(joiner);
      normal.append(path, begin, length);
    }
    begin = end + 1;
  }
  return !normal.empty();
}

bool relative_path_key(const std::u16string& relative, std::u16string& key) {
  return normal_relative_path(relative, PathSeparators::kSlash, u'/', key);
}
