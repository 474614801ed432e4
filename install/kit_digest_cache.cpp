#include "install/kit_digest_cache.h"

#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "install/installation_record.h"
#include "install/journal_codec.h"
#include "install/journal_file.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

const char kMagicLine[] = "ovn8-kit-digests 1";

std::string cache_identity_of(const FileStatus& status) {
  std::ostringstream text;
  text << status.device << ' ' << status.inode << ' ' << status.size << ' ' << status.times.writeSeconds << ' '
       << status.times.writeNanoseconds << ' ' << status.changeSeconds << ' ' << status.changeNanoseconds;
  return text.str();
}

std::string line_of(const std::string& identity, const std::string& hex) {
  const std::string body = identity + ' ' + hex;
  return body + ' ' + crc_text(crc_of(body.data(), body.size())) + '\n';
}

bool is_digest_text(const std::string& text) { return !text.empty() && is_sha256_text(text); }

bool trusted(const std::u16string& path, FileKind kind) {
  FileStatus status;
  return link_status(path, status) == ERROR_SUCCESS && is_users_own(status, kind);
}

}  // namespace

// A cache is no state: it lies with the user's other caches, never beside
// the run records, and can go at any time.
std::u16string default_cache_file() {
  const char* given = getenv("XDG_CACHE_HOME");
  std::u16string folder;
  if (given != nullptr && given[0] == '/') {
    folder = widen_lib(given);
  } else {
    const std::u16string home = home_dir();
    if (home.empty()) return home;
    folder = without_trailing_separator(home) + u"/.cache";
  }
  return without_trailing_separator(folder) + u"/ovn8setup/kit-digests";
}

KitDigestCache::KitDigestCache(const std::u16string& file) : file_(file.empty() ? default_cache_file() : file) {}

std::vector<KitDigestCache::Line> KitDigestCache::read() const {
  std::vector<Line> lines;
  std::string bytes;
  if (file_.empty() || !trusted(parent_directory(file_), FileKind::kDirectory) ||
      !trusted(file_, FileKind::kRegular) || read_small_file(file_, bytes) != ERROR_SUCCESS)
    return lines;
  std::istringstream text(bytes);
  std::string line;
  if (!std::getline(text, line) || line != kMagicLine) return lines;
  while (std::getline(text, line) && lines.size() < kMaxKitDigests) {
    const size_t crcAt = line.rfind(' ');
    if (crcAt == std::string::npos || crcAt < 65 || line[crcAt - 65] != ' ') continue;
    if (line.substr(crcAt + 1) != crc_text(crc_of(line.data(), crcAt))) continue;
    const std::string hex = line.substr(crcAt - 64, 64);
    if (!is_digest_text(hex)) continue;
    lines.push_back({line.substr(0, crcAt - 65), hex});
  }
  return lines;
}

std::string KitDigestCache::find(const FileStatus& status) const {
  const std::string identity = cache_identity_of(status);
  for (const Line& line : read())
    if (line.identity == identity) return line.hex;
  return std::string();
}

void KitDigestCache::remember(const FileStatus& status, const std::string& hex) const {
  if (file_.empty() || !is_digest_text(hex)) return;
  const std::u16string folder = parent_directory(file_);
  FileSystem::CreateOneDirectory(parent_directory(folder), 0700);
  FileSystem::CreateOneDirectory(folder, 0700);
  if (!trusted(folder, FileKind::kDirectory)) return;
  const std::string identity = cache_identity_of(status);
  std::string bytes = std::string(kMagicLine) + '\n' + line_of(identity, hex);
  size_t kept = 1;
  for (const Line& line : read()) {
    if (line.identity == identity || kept == kMaxKitDigests) continue;
    bytes += line_of(line.identity, line.hex);
    ++kept;
  }
  // Written whole under a name of this process's, then renamed over the
  // old one: a reader sees the old cache or the new one.
  const std::u16string temporary = file_ + u"." + string_uito(uint32_t(getpid()), 10);
  HANDLE handle = INVALID_HANDLE_VALUE;
  FileSystem::DeleteFile(temporary);
  if (FileSystem::CreateFile(temporary, GENERIC_WRITE, 0, CREATE_NEW, handle) != ERROR_SUCCESS) return;
  const uint32_t written = write_all(handle, bytes);
  FileSystem::SetFileMode(handle, 0600);
  const uint32_t closed = FileSystem::CloseHandle(handle);
  if (written != ERROR_SUCCESS || closed != ERROR_SUCCESS ||
      FileSystem::MoveFileEx(temporary, file_, MOVEFILE_REPLACE_EXISTING) != ERROR_SUCCESS)
    FileSystem::DeleteFile(temporary);
}

bool same_kit_file(const FileStatus& a, const FileStatus& b) {
  return a.kind == FileKind::kRegular && b.kind == FileKind::kRegular && cache_identity_of(a) == cache_identity_of(b);
}
