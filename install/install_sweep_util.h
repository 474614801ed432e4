// The scene of the engine's sweeps: a populated template directory (files
// missing, older, equal and newer than the kit's, links, nested folders)
// and a kit of about twenty entries over it (new nested folders, a repeated
// name), with the views that compare a run's outcome.
#ifndef OVN8_INSTALL_INSTALL_SWEEP_UTIL_H_
#define OVN8_INSTALL_INSTALL_SWEEP_UTIL_H_

#include <map>
#include <string>
#include <vector>

#include "install/install_test_util.h"
#include "install/installation_record.h"

namespace install_test {

const int64_t kSweepKitTime = 1600000000;
const int64_t kSweepOlder = kSweepKitTime - 86400;
const int64_t kSweepNewer = kSweepKitTime + 86400;

inline std::string sweepBytes(size_t size, int seed) {
  std::string data(size, '\0');
  uint32_t x = uint32_t(seed) * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  return data;
}

// The template directory as the user had it before installing.
inline void populateTemplate(const std::string& root) {
  testkit::removeTree(root);
  mkdir(root.c_str(), 0755);
  writeFile(root + "/readme.txt", "old readme", kSweepOlder);
  writeFile(root + "/same.txt", "same time", kSweepKitTime);
  writeFile(root + "/newer.txt", "user's newer file", kSweepNewer);
  writeFile(root + "/sub/a.txt", sweepBytes(3000, 1), kSweepOlder, 0600);
  writeFile(root + "/sub/keep.txt", "not in the kit", kSweepOlder);
  writeFile(root + "/sub/deep/old.bin", sweepBytes(70000, 2), kSweepOlder, 0755);
  writeFile(root + "/sub/deep/newer.bin", "newer binary", kSweepNewer, 0700);
  symlink("readme.txt", (root + "/link.txt").c_str());
  setTimes(root + "/link.txt", kSweepOlder, 55);
  mkdir((root + "/emptydir").c_str(), 0700);
  setTimes(root + "/emptydir", kSweepOlder, 11);
  setTimes(root + "/sub/deep", kSweepOlder, 22);
  setTimes(root + "/sub", kSweepOlder, 33);
  setTimes(root, kSweepOlder, 44);
}

// `bigSize` lets a sweep that kills a process at every operation keep its
// one file of several copy blocks small.
inline std::vector<config::KitFileSpec> sweepKit(size_t bigSize = 1536 * 1024) {
  auto at = [](int64_t seconds) { return kitTime(seconds); };
  const int64_t t = kSweepKitTime;
  return {
      {u"readme.txt", "new readme", at(t)},
      {u"same.txt", "kit version", at(t)},
      {u"newer.txt", "kit version", at(t)},
      {u"sub\\a.txt", sweepBytes(2000, 3), at(t)},
      {u"sub\\deep\\old.bin", sweepBytes(50000, 4), at(t)},
      {u"sub\\deep\\newer.bin", "kit version", at(t)},
      {u"sub\\new.txt", "new in an existing folder", at(t)},
      {u"n1\\n2\\n3\\deep.txt", "three new levels", at(t)},
      {u"n1\\n2\\mid.txt", "mid", at(t)},
      {u"n1\\top.txt", "top", at(t)},
      {u"sub\\deep\\fresh\\x.txt", "new folder in an old one", at(t)},
      {u"big.bin", sweepBytes(bigSize, 5), at(t)},  // more than one copy block
      {u"empty.txt", "", at(t)},
      {u"sub\\a.txt", sweepBytes(2500, 6), at(t + 60)},  // the same name again, newer
      {u"other\\one.txt", "one", at(t)},
      {u"other\\two.txt", "two", at(t)},
      {u"sub/deep\\old.bin", sweepBytes(40000, 7), at(t + 120)},  // same file, other separator
      {u"n1\\n2\\n3\\deep2.txt", "deep2", at(t)},
      {u"readme2.txt", "readme2", at(t)},
      {u"zzz\\last.txt", "last", at(t)},
      {u"link.txt", "replaces the link", at(t)},
  };
}

// Files and links with contents, modes and times; directories by name and
// mode only (the run gives new directories the time of their creation);
// the installation record by the paths it names.
inline std::map<std::string, std::string> installedView(const std::string& root) {
  std::map<std::string, std::string> view = snapshot(root);
  for (auto& node : view)
    if (node.second.find(" dir") != std::string::npos)
      node.second = node.second.substr(0, node.second.find(' ')) + " dir";
  auto record = view.find(".n8ctl/record");
  if (record != view.end()) {
    InstallationRecord said;
    record->second = "damaged record";
    if (decode_record(readText(root + "/.n8ctl/record"), said)) {
      said.installedAt = 0;
      said.wizardVersion.clear();
      // A look that failed makes a run write a file it would otherwise
      // have left or only retimed (see unreadableReplaced), and the record
      // then describes the kit's file: the tree's files are compared
      // themselves, the record by the paths it names.
      for (RecordEntry& entry : said.entries) entry = RecordEntry{entry.path, 0, 0, 0, RecordAction::kInstalled};
      // The entries first, where a difference shows.
      const std::string text = encode_record(said);
      const size_t entries = text.find("\nentries\t");
      record->second = "record " + text.substr(entries + 1) + text.substr(0, entries);
    }
  }
  return view;
}

}  // namespace install_test

#endif  // OVN8_INSTALL_INSTALL_SWEEP_UTIL_H_
