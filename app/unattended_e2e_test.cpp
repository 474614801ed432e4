// The finished program as a fleet's roll-out runs it: --unattended under a
// display nobody watches, kits under any name, dry runs, the JSON result,
// repeated runs, typos on the command line, signals from shells, a shared
// log and the permission bits of replaced files.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/e2e_support.h"
#include "install/target_lock.h"
#include "kit/kit_writer.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

using e2e::Result;

const char kTitle[] = "Installing configuration: ";
const char kInterrupted[] = "The previous installation into this directory was interrupted.";
// A run that waits for anybody ends here at the latest, as killed by SIGALRM.
const unsigned kGuardSeconds = 30;
// Entries of the kit whose runs are caught and stopped half-way.
const int kLargeKitFiles = 1500;

// ---- A small JSON reader: enough to hold the result to its documented form ----

struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  bool has(const std::string& name) const { return fields.count(name) != 0; }
  const Json& operator[](const std::string& name) const {
    static const Json missing;
    auto field = fields.find(name);
    return field == fields.end() ? missing : field->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  // The one value that makes up the whole text; false when there is anything else.
  bool readDocument(Json& value) {
    if (!readValue(value)) return false;
    skipSpace();
    return at_ == text_.size();
  }

 private:
  void skipSpace() {
    while (at_ < text_.size() && strchr(" \t\r\n", text_[at_]) != nullptr) ++at_;
  }
  bool take(char c) {
    skipSpace();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool word(const char* literal) {
    const size_t length = strlen(literal);
    if (text_.compare(at_, length, literal) != 0) return false;
    at_ += length;
    return true;
  }
  bool readValue(Json& value) {
    skipSpace();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') return readObject(value);
    if (c == '[') return readArray(value);
    if (c == '"') return value.type = Json::kString, readString(value.text);
    if (word("null")) return value.type = Json::kNull, true;
    if (word("true")) return value.type = Json::kBool, value.boolean = true;
    if (word("false")) return value.type = Json::kBool, value.boolean = false, true;
    return readNumber(value);
  }
  bool readNumber(Json& value) {
    static const std::regex number(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?)");
    std::smatch match;
    const std::string rest = text_.substr(at_, 40);
    if (!std::regex_search(rest, match, number, std::regex_constants::match_continuous)) return false;
    value.type = Json::kNumber;
    value.number = std::stod(match.str());
    at_ += match.length();
    return true;
  }
  bool readString(std::string& out) {
    ++at_;  // the opening quote
    while (at_ < text_.size() && text_[at_] != '"') {
      const unsigned char c = text_[at_++];
      if (c < 0x20) return false;
      if (c != '\\') {
        out += char(c);
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char escaped = text_[at_++];
      const char* plain = strchr("\"\\/bfnrt", escaped);
      if (plain == nullptr && escaped != 'u') return false;
      if (escaped != 'u') {
        out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
        continue;
      }
      if (at_ + 4 > text_.size()) return false;
      const std::string hex = text_.substr(at_, 4);
      if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
      at_ += 4;
      out += "\\u" + hex;  // kept as written; the names compared here are plain
    }
    return take('"');
  }
  bool readArray(Json& value) {
    value.type = Json::kArray;
    ++at_;
    if (take(']')) return true;
    do {
      value.items.emplace_back();
      if (!readValue(value.items.back())) return false;
    } while (take(','));
    return take(']');
  }
  bool readObject(Json& value) {
    value.type = Json::kObject;
    ++at_;
    if (take('}')) return true;
    do {
      std::string name;
      skipSpace();
      if (at_ >= text_.size() || text_[at_] != '"' || !readString(name) || !take(':')) return false;
      if (value.has(name)) return false;  // a name twice is no result a reader can trust
      if (!readValue(value.fields[name])) return false;
    } while (take(','));
    return take('}');
  }

  const std::string& text_;
  size_t at_ = 0;
};

bool is_count(const Json& value) {
  return value.type == Json::kNumber && value.number >= 0 && value.number == double(int64_t(value.number));
}

bool is_one_of(const Json& value, const std::set<std::string>& allowed) {
  return value.type == Json::kString && allowed.count(value.text) != 0;
}

// Every documented field of a result with its type and allowed values, and
// how they agree with each other.
void expect_documented_form(const Json& result, bool withFiles) {
  ASSERT_EQ(result.type, Json::kObject);
  EXPECT_EQ(result["schema"].type, Json::kNumber);
  EXPECT_EQ(result["schema"].number, 1);
  const std::map<std::string, int> statusOf = {{"failed", 2}, {"cancelled", 3}, {"refused", 1}};
  const Json& outcome = result["outcome"];
  ASSERT_TRUE(is_one_of(outcome, {"installed", "failed", "cancelled", "refused"})) << outcome.text;
  ASSERT_TRUE(is_count(result["exit_status"]));
  const int exitStatus = int(result["exit_status"].number);
  if (outcome.text == "installed")
    EXPECT_TRUE(exitStatus == 0 || exitStatus == 4) << exitStatus;
  else
    EXPECT_EQ(exitStatus, statusOf.at(outcome.text));
  EXPECT_EQ(result["dry_run"].type, Json::kBool);
  EXPECT_EQ(result["changed"].type, Json::kBool);

  const Json& kit = result["kit"];
  ASSERT_EQ(kit.type, Json::kObject);
  ASSERT_EQ(kit["path"].type, Json::kString);
  EXPECT_EQ(kit["path"].text.compare(0, 1, "/"), 0) << kit["path"].text;
  EXPECT_TRUE(kit["size"].type == Json::kNull || is_count(kit["size"]));
  for (const char* name : {"product", "vendor"})
    EXPECT_TRUE(kit[name].type == Json::kNull || kit[name].type == Json::kString) << name;
  EXPECT_TRUE(kit["entries"].type == Json::kNull || is_count(kit["entries"]));

  const Json& signature = result["signature"];
  ASSERT_TRUE(result.has("signature"));
  if (signature.type != Json::kNull) {
    ASSERT_EQ(signature.type, Json::kObject);
    EXPECT_TRUE(is_one_of(signature["state"], {"good", "unsigned", "unknown-key", "bad", "invalid", "not-checked"}))
        << signature["state"].text;
    EXPECT_EQ(signature["required"].type, Json::kBool);
    for (const char* name : {"file", "signer", "key_id", "fingerprint"})
      EXPECT_TRUE(signature[name].type == Json::kNull || signature[name].type == Json::kString) << name;
  }
  EXPECT_TRUE(kit["version"].type == Json::kNull || kit["version"].type == Json::kString);

  const Json& target = result["target"];
  EXPECT_TRUE(target.type == Json::kNull || (target.type == Json::kString && target.text.compare(0, 1, "/") == 0))
      << target.text;

  const Json& counts = result["counts"];
  ASSERT_EQ(counts.type, Json::kObject);
  for (const char* name : {"installed", "replaced", "kept_newer", "up_to_date"}) {
    EXPECT_TRUE(is_count(counts[name])) << name;
    if (outcome.text == "failed" || outcome.text == "cancelled") {
      EXPECT_EQ(counts[name].number, 0) << name;
    }
  }

  const Json& launcher = result["launcher"];
  ASSERT_EQ(launcher.type, Json::kObject);
  EXPECT_EQ(launcher["changed"].type, Json::kBool);
  ASSERT_EQ(launcher["files"].type, Json::kArray);
  for (const Json& file : launcher["files"].items) {
    ASSERT_EQ(file.type, Json::kObject);
    EXPECT_EQ(file["path"].type, Json::kString);
    EXPECT_EQ(file["updated"].type, Json::kBool);
    EXPECT_TRUE(is_count(file["error"]));
    EXPECT_EQ(file["reason"].type, Json::kString);
    if (file["updated"].boolean) {
      EXPECT_EQ(file["error"].number, 0);
      EXPECT_EQ(file["reason"].text, "");
    }
  }

  const Json& failure = result["failure"];
  ASSERT_TRUE(result.has("failure"));
  if (outcome.text == "installed") {
    EXPECT_EQ(failure.type, Json::kNull);
  } else {
    ASSERT_EQ(failure.type, Json::kObject);
    EXPECT_TRUE(is_one_of(failure["code"], {"kit-not-found", "kit-damaged", "no-temporary-space", "no-target",
                                            "target-not-folder", "target-not-writable", "target-no-space",
                                            "target-busy", "install-error", "cancelled"}))
        << failure["code"].text;
    EXPECT_TRUE(is_count(failure["error"]));
    EXPECT_TRUE(failure["file"].type == Json::kNull || failure["file"].type == Json::kString);
    EXPECT_EQ(failure["reason"].type, Json::kString);
    EXPECT_EQ(failure["reason"].text.find('\n'), std::string::npos);
  }

  EXPECT_EQ(result.has("files"), withFiles);
  if (!withFiles) return;
  ASSERT_EQ(result["files"].type, Json::kArray);
  std::set<std::string> seen;
  for (const Json& file : result["files"].items) {
    ASSERT_EQ(file["path"].type, Json::kString);
    EXPECT_EQ(file["path"].text.compare(0, 1, "/"), 0) << file["path"].text;
    EXPECT_TRUE(seen.insert(file["path"].text).second) << "twice: " << file["path"].text;
    EXPECT_TRUE(is_one_of(file["action"], {"install", "replace", "keep-newer", "up-to-date"})) << file["action"].text;
  }
}

// The one line on standard output as a result of its documented form.
Json result_of(const Result& run, bool withFiles = false) {
  Json result;
  EXPECT_FALSE(run.out.empty()) << run.err;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "not one line: " << run.out;
  EXPECT_EQ(run.out.back(), '\n');
  EXPECT_TRUE(JsonReader(run.out).readDocument(result)) << "no JSON object: " << run.out;
  expect_documented_form(result, withFiles);
  EXPECT_EQ(result["exit_status"].number, run.status) << run.out;
  return result;
}

std::string counts_of(const Json& result) {
  const Json& counts = result["counts"];
  return std::to_string(int(counts["installed"].number)) + " installed, " +
         std::to_string(int(counts["replaced"].number)) + " replaced, " +
         std::to_string(int(counts["kept_newer"].number)) + " kept newer, " +
         std::to_string(int(counts["up_to_date"].number)) + " up to date";
}

std::string files_of(const Json& result) {
  std::string listing;
  for (const Json& file : result["files"].items) listing += file["action"].text + " " + file["path"].text + "\n";
  return listing;
}

// ---- Trees compared byte for byte ----

// Every node below `root` by relative path: type, mode, and for files their
// time and bytes. Folder times are left out: a run that looks into a folder
// may not change them, but neither does the comparison need them.
void list_tree(const std::string& root, const std::string& relative, std::map<std::string, std::string>& nodes) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  std::string node = std::to_string(status.st_mode);
  if (S_ISREG(status.st_mode)) node += " " + std::to_string(status.st_mtime) + " " + testkit::readFile(path);
  nodes[relative] = node;
  if (!S_ISDIR(status.st_mode)) return;
  for (const std::string& name : testkit::entryNames(path))
    list_tree(root, relative.empty() ? name : relative + "/" + name, nodes);
}

std::map<std::string, std::string> tree_of(const std::string& root) {
  std::map<std::string, std::string> nodes;
  list_tree(root, "", nodes);
  return nodes;
}

using testkit::differences;

// ---- A display that only listens ----

// A local X display nobody serves: its sockets (the file and the abstract
// name the client library also tries) accept connections into their
// backlog, so that any attempt to open the display is counted afterwards.
class ListeningDisplay {
 public:
  ListeningDisplay() {
    mkdir("/tmp/.X11-unix", 01777);
    for (int number = 640; number < 700 && name_.empty(); ++number) {
      const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
      if (access(path.c_str(), F_OK) == 0) continue;
      const int file = listenOn(path, false), abstract = listenOn(path, true);
      if (file >= 0 && abstract >= 0) {
        fileSocket_ = file, abstractSocket_ = abstract, path_ = path;
        name_ = ":" + std::to_string(number);
        return;
      }
      if (file >= 0) close(file), unlink(path.c_str());
      if (abstract >= 0) close(abstract);
    }
  }
  ~ListeningDisplay() {
    if (name_.empty()) return;
    close(fileSocket_);
    close(abstractSocket_);
    unlink(path_.c_str());
  }
  // ":N"; empty when no socket could be made.
  const std::string& name() const { return name_; }

  // The connections made since the last call.
  int connections() {
    int count = 0;
    for (int socket : {fileSocket_, abstractSocket_})
      for (int client; (client = accept4(socket, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; ++count) close(client);
    return count;
  }

 private:
  static int listenOn(const std::string& path, bool abstract) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + (abstract ? 1 : 0), path.data(), path.size());
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0) {
      if (fd >= 0) close(fd);
      return -1;
    }
    return fd;
  }

  int fileSocket_ = -1, abstractSocket_ = -1;
  std::string path_, name_;
};

bool on_path(const std::string& program) {
  return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// ---- The fixture ----

class UnattendedE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    binary_ = e2e::wizard_binary();
    if (binary_.empty()) GTEST_SKIP() << "no ovn8setup built";
    ASSERT_TRUE(scratch_.ok());
    for (const std::string& dir : {home_, tmp_, kits_}) ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Sample", u"Vendor", u"readme.html"},
                         {u"ru", u"Пример", u"Поставщик", u"readme.html"}};
    spec.files.emplace_back(u"forms\\invoice.tpl", "invoice body\n", config::fileTimeFromUnix(1500000000, 0));
    spec.files.emplace_back(u"forms\\letter.tpl", "letter body\n", config::fileTimeFromUnix(1500000100, 0));
    spec.files.emplace_back(u"readme.html", "<html>read me</html>", config::fileTimeFromUnix(1500000200, 0));
    ASSERT_TRUE(config::writeKit(sampleKit(), spec));
  }

  std::string sampleKit() const { return kits_ + "/sales-templates.okd"; }
  std::string largeKit() const { return kits_ + "/large.okd"; }
  std::string launcherFile() const { return home_ + "/.Ovan/ovanstart/ovanstart.cfg"; }

  // Many entries in folders: a run into it is still copying when it is stopped.
  void writeLargeKit() {
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Large", u"Vendor", u""}};
    for (int i = 0; i < kLargeKitFiles; ++i) {
      const std::string name = std::string("d") + char('a' + i % 10) + "\\f" + std::to_string(i);
      const std::u16string wideName(name.begin(), name.end());
      spec.files.emplace_back(wideName, std::string(4000, char('a' + i % 26)), config::fileTimeFromUnix(1600000000, 0));
    }
    ASSERT_TRUE(config::writeKit(largeKit(), spec));
  }

  // The directory as a user had it: one file of their own.
  void makeTarget() {
    ASSERT_EQ(mkdir(target_.c_str(), 0755), 0);
    ASSERT_TRUE(testkit::writeFile(target_ + "/own.txt", "the user's own file"));
  }

  // Starts the wizard in the scratch folder with HOME and TMPDIR of its
  // own, under `display` (unset when empty), umask 022. Its output goes to
  // files named after `tag`.
  pid_t start(std::vector<std::string> args, const std::string& display = "", const std::string& tag = "") {
    const std::string out = root_ + "/out" + tag, err = root_ + "/err" + tag;
    // Nothing an earlier run wrote is read as this one's.
    unlink(out.c_str());
    unlink(err.c_str());
    args.insert(args.begin(), binary_);
    const pid_t child = fork();
    if (child != 0) return child;
    alarm(kGuardSeconds);  // kept across exec
    signal(SIGINT, SIG_DFL);
    umask(022);
    if (chdir(root_.c_str()) != 0) _exit(120);
    setenv("HOME", home_.c_str(), 1);
    setenv("TMPDIR", tmp_.c_str(), 1);
    setenv("LANG", "C.UTF-8", 1);
    for (const char* name : {"LC_ALL", "LANGUAGE", "OVN8_MESSAGE_BOX"}) unsetenv(name);
    display.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", display.c_str(), 1);
    e2e::suppress_toolkit_leaks();
    e2e::exec_with_output(args, out, err);
  }

  Result finish(pid_t child, const std::string& tag = "") {
    return e2e::finish_child(child, root_ + "/out" + tag, root_ + "/err" + tag);
  }

  Result run(std::vector<std::string> args, const std::string& display = "") {
    return finish(start(std::move(args), display));
  }

  // A run of the large kit into the directory, stopped by `signal` once it
  // holds the directory and has written some entries.
  // Files of the large kit written so far: the folders the run makes lie
  // under staging names until the end.
  size_t writtenSoFar() const {
    size_t written = 0;
    for (const std::string& name : testkit::entryNames(target_))
      if (name == "da" || name.compare(0, 6, ".n8new") == 0) written += testkit::entryNames(target_ + "/" + name).size();
    return written;
  }

  Result stopMidRun(std::vector<std::string> args, int signal) {
    const pid_t child = start(std::move(args), "", "stopped");
    EXPECT_TRUE(e2e::wait_for_lock(target_, child));
    for (int i = 0; i < 20000 && writtenSoFar() < 5; ++i) usleep(500);
    kill(child, signal);
    return finish(child, "stopped");
  }

  // Leaves the journal of a run killed half-way in the directory.
  void leaveStoppedRun() {
    const Result killed = stopMidRun({"--unattended", "--kit=" + largeKit(), "--target=" + target_}, SIGKILL);
    ASSERT_EQ(killed.status, 1000 + SIGKILL);
    const std::vector<std::string> names = testkit::entryNames(target_);
    ASSERT_TRUE(std::any_of(names.begin(), names.end(),
                            [](const std::string& name) { return name.compare(0, 6, ".n8stp") == 0; }))
        << "the run was not stopped half-way";
  }

  testkit::ScratchDir scratch_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", "ovn8fleet"};
  std::string binary_;
  const std::string root_ = scratch_.path();
  const std::string home_ = root_ + "/home", tmp_ = root_ + "/tmp", kits_ = root_ + "/kits";
  const std::string target_ = root_ + "/templates";
};

TEST_F(UnattendedE2eTest, FailingRunsUnderADisplayEndAtOnceWithTheirStatusAndNeverConnect) {
  ListeningDisplay display;
  ASSERT_FALSE(display.name().empty()) << "no display socket could be made";
  const std::string file = root_ + "/a-file";
  ASSERT_TRUE(testkit::writeFile(file, "not a folder"));
  writeLargeKit();
  TargetLock holder;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> args;
    int status;
    std::string firstLine;  // what standard error starts with
  } cases[] = {
      {"missing kit", [] {}, {"--kit=" + kits_ + "/absent.okd", "--target=" + target_}, 1,
       std::string(kTitle) + "Distribution kit file "},
      {"busy directory",
       [&] {
         makeTarget();
         ASSERT_EQ(holder.acquire(utf8_to_utf16(target_)), 0u);
       },
       {"--kit=" + sampleKit(), "--target=" + target_}, 1,
       std::string(kTitle) + "Another installation into this template directory is in progress."},
      {"target is a file", [&] { holder.release(); }, {"--kit=" + sampleKit(), "--target=" + file}, 1, kTitle},
      {"launcher file unwritable", [&] { ASSERT_TRUE(testkit::writeFile(home_ + "/.Ovan", "not a folder")); },
       {"--kit=" + sampleKit(), "--target=" + target_}, 4,
       std::string(kTitle) + "The configuration was installed, but the launcher's configuration file could not "
                             "be updated"},
      {"recovery notice",
       [&] {
         unlink((home_ + "/.Ovan").c_str());
         testkit::removeTree(target_);
         makeTarget();
         leaveStoppedRun();
       },
       {"--kit=" + sampleKit(), "--target=" + target_}, 0, std::string(kTitle) + kInterrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    if (HasFatalFailure()) return;
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--unattended");
    const Result result = run(args, display.name());
    // SIGALRM (1014) would say it waited for somebody.
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.err.compare(0, c.firstLine.size(), c.firstLine), 0) << result.err;
    // Every message is one line of its own.
    for (size_t begin = 0, end; (end = result.err.find('\n', begin)) != std::string::npos; begin = end + 1)
      EXPECT_EQ(result.err.compare(begin, strlen(kTitle), kTitle), 0) << result.err.substr(begin);
    EXPECT_EQ(display.connections(), 0) << "the display was opened";
  }
  // After the notice the run installed over the put-back directory, with
  // its record.
  EXPECT_EQ(testkit::entryNameSet(target_),
            (std::set<std::string>{".n8ctl", "forms", "own.txt", "readme.html"}));
}

TEST_F(UnattendedE2eTest, StopSignalWhileASilentRunsBoxIsShownEndsItWithTheBoxlessStatus) {
  if (!on_path("Xvfb") || !on_path("xdotool")) GTEST_SKIP() << "needs Xvfb and xdotool";
  e2e::PrivateXServer server;
  ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int status;
  } cases[] = {
      {"kit not found", [] {}, 1},
      {"launcher's file warning",
       [&] {
         ASSERT_TRUE(testkit::writeFile(kits_ + "/ovn8.okd", testkit::readFile(sampleKit())));
         ASSERT_TRUE(testkit::writeFile(home_ + "/.Ovan", "not a folder"));
       },
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const pid_t child = start({"-S", "--kit=" + kits_ + "/ovn8.okd", "--target=" + target_}, server.display());
    // The box says its text on standard error as it opens; then it is on the screen.
    for (int tick = 0; tick < 1000 && testkit::readFile(root_ + "/err").empty(); ++tick) usleep(20000);
    bool shown = false;
    for (int tick = 0; tick < 100 && !shown; ++tick) {
      FILE* search = popen(("DISPLAY=" + server.display() + " xdotool search --pid " +
                            std::to_string(child) + " 2>/dev/null")
                               .c_str(),
                           "r");
      char line[64];
      shown = search != nullptr && fgets(line, sizeof line, search) != nullptr;
      if (search != nullptr) pclose(search);
      if (!shown) usleep(20000);
    }
    EXPECT_TRUE(shown) << "no box";
    kill(child, SIGTERM);
    const Result result = finish(child);
    EXPECT_EQ(result.status, c.status) << result.err;
  }
}

TEST_F(UnattendedE2eTest, KitUnderAnyNameAsOptionOrArgumentInstallsAndMissingOneIsNamed) {
  Result result = run({"--unattended", "--json", "--kit=" + sampleKit(), "--target=" + target_, "-Lru"});
  EXPECT_EQ(result.status, 0) << result.err;
  Json json = result_of(result);
  EXPECT_EQ(json["kit"]["path"].text, sampleKit());
  EXPECT_EQ(json["kit"]["size"].number, double(testkit::readFile(sampleKit()).size()));
  // The description of the interface language.
  EXPECT_EQ(json["kit"]["product"].text, "Пример");
  EXPECT_EQ(json["kit"]["vendor"].text, "Поставщик");
  EXPECT_EQ(json["kit"]["entries"].number, 3);
  EXPECT_EQ(testkit::readFile(target_ + "/forms/invoice.tpl"), "invoice body\n");
  EXPECT_EQ(testkit::readFile(launcherFile()).rfind("ConfigurationTemplatesLocation=" + target_ + "\n", 0), 0u)
      << testkit::readFile(launcherFile());

  // A plain argument, relative to the current folder, into a second directory.
  const std::string second = root_ + "/second";
  result = run({"--unattended", "--json", "kits/sales-templates.okd", "--target=" + second});
  EXPECT_EQ(result.status, 0) << result.err;
  json = result_of(result);
  EXPECT_EQ(json["kit"]["path"].text, sampleKit());
  EXPECT_EQ(json["kit"]["product"].text, "Sample");
  EXPECT_EQ(testkit::readFile(second + "/readme.html"), "<html>read me</html>");
  EXPECT_EQ(testkit::readFile(launcherFile()),
            "ConfigurationTemplatesLocation=" + second + "\nConfigurationTemplatesLocation=" + target_ + "\n");

  const std::string missing = kits_ + "/gone/other-name.okd";
  result = run({"--unattended", "--kit=" + missing, "--target=" + root_ + "/third"});
  EXPECT_EQ(result.status, 1);
  // Where it looked ends the line.
  EXPECT_EQ(result.err.rfind(std::string(kTitle) + "Distribution kit file ", 0), 0u) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - missing.size() - 2), " " + missing + "\n") << result.err;
  EXPECT_FALSE(testkit::exists(root_ + "/third"));
}

TEST_F(UnattendedE2eTest, DryRunChangesNothingAnywhereAndReportsWhatTheRealRunDoes) {
  // One entry older than the kit's, one newer, one missing; a file of the
  // user's, and a launcher's file that lists another directory.
  makeTarget();
  ASSERT_EQ(mkdir((target_ + "/forms").c_str(), 0755), 0);
  ASSERT_TRUE(testkit::writeFile(target_ + "/forms/invoice.tpl", "old invoice"));
  ASSERT_TRUE(testkit::writeFile(target_ + "/forms/letter.tpl", "newer letter"));
  ASSERT_EQ(system(("touch -d 2001-01-01 '" + target_ + "/forms/invoice.tpl' && touch -d 2030-01-01 '" + target_ +
                    "/forms/letter.tpl'")
                       .c_str()),
            0);
  ASSERT_TRUE(testkit::makeDirs(home_ + "/.Ovan/ovanstart"));
  ASSERT_TRUE(testkit::writeFile(launcherFile(), "ConfigurationTemplatesLocation=" + root_ + "/elsewhere\n"));
  const auto everything = [&] {
    return std::vector<std::map<std::string, std::string>>{tree_of(target_), tree_of(home_), tree_of(tmp_)};
  };
  const auto before = everything();
  const std::vector<std::string> args = {"--unattended", "--json=files", "--kit=" + sampleKit(),
                                         "--target=" + target_};
  std::vector<std::string> dryArgs = args;
  dryArgs.push_back("--dry-run");
  const Result dry = run(dryArgs);
  EXPECT_EQ(dry.status, 0) << dry.err;
  const auto after = everything();
  EXPECT_EQ(differences(before[0], after[0]), "") << "target";
  EXPECT_EQ(differences(before[1], after[1]), "") << "HOME";
  // The kit is streamed: a dry run reads its entry table and unpacks
  // nothing into the temporary directory.
  EXPECT_EQ(differences(before[2], after[2]), "") << "TMPDIR";
  const Json planned = result_of(dry, true);
  EXPECT_TRUE(planned["dry_run"].boolean);
  EXPECT_TRUE(planned["changed"].boolean);
  EXPECT_TRUE(planned["launcher"]["changed"].boolean);
  EXPECT_EQ(counts_of(planned), "1 installed, 1 replaced, 1 kept newer, 0 up to date");

  const Result real = run(args);
  EXPECT_EQ(real.status, 0) << real.err;
  const Json done = result_of(real, true);
  EXPECT_FALSE(done["dry_run"].boolean);
  EXPECT_TRUE(done["changed"].boolean);
  EXPECT_TRUE(done["launcher"]["changed"].boolean);
  EXPECT_EQ(counts_of(done), counts_of(planned));
  EXPECT_EQ(files_of(done), files_of(planned));
  EXPECT_EQ(files_of(done), "replace " + target_ + "/forms/invoice.tpl\nkeep-newer " + target_ +
                                "/forms/letter.tpl\ninstall " + target_ + "/readme.html\n");
  // Now nothing is left to do, and a dry run says so.
  const Json again = result_of(run(dryArgs), true);
  EXPECT_FALSE(again["changed"].boolean);
  EXPECT_EQ(counts_of(again), "0 installed, 0 replaced, 1 kept newer, 2 up to date");

  // A directory that does not exist is not made; the records of HOME stay as they are.
  testkit::removeTree(home_);
  ASSERT_EQ(mkdir(home_.c_str(), 0755), 0);
  const std::string fresh = root_ + "/fresh/templates";
  const Json planFresh =
      result_of(run({"--unattended", "--json", "--dry-run", "--kit=" + sampleKit(), "--target=" + fresh}));
  EXPECT_EQ(counts_of(planFresh), "3 installed, 0 replaced, 0 kept newer, 0 up to date");
  EXPECT_FALSE(testkit::exists(root_ + "/fresh"));
  EXPECT_EQ(testkit::entryNames(home_), std::vector<std::string>{});

  // The journal of a stopped run stays for the next real run to put right.
  writeLargeKit();
  testkit::removeTree(target_);
  makeTarget();
  leaveStoppedRun();
  const auto stopped = tree_of(target_);
  EXPECT_EQ(run(dryArgs).status, 0);
  EXPECT_EQ(differences(stopped, tree_of(target_)), "");
  const Result recovering = run(args);
  EXPECT_EQ(recovering.status, 0) << recovering.err;
  EXPECT_NE(recovering.err.find(kInterrupted), std::string::npos) << recovering.err;
  EXPECT_EQ(testkit::entryNameSet(target_),
            (std::set<std::string>{".n8ctl", "forms", "own.txt", "readme.html"}));
}

TEST_F(UnattendedE2eTest, JsonResultFollowsItsDocumentInEveryOutcome) {
  // Installed.
  Result result = run({"--unattended", "--json", "--kit=" + sampleKit(), "--target=" + target_});
  Json json = result_of(result);
  EXPECT_EQ(json["outcome"].text, "installed");
  EXPECT_EQ(json["target"].text.compare(0, target_.size(), target_), 0) << json["target"].text;
  EXPECT_EQ(counts_of(json), "3 installed, 0 replaced, 0 kept newer, 0 up to date");
  EXPECT_EQ(json["launcher"]["files"].items.size(), 1u);
  EXPECT_EQ(json["launcher"]["files"].items[0]["path"].text, launcherFile());
  EXPECT_TRUE(json["launcher"]["files"].items[0]["updated"].boolean);
  EXPECT_EQ(result.err, "");

  // Failed: a file stands where a folder of the kit goes.
  const std::string blocked = root_ + "/blocked";
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  ASSERT_TRUE(testkit::writeFile(blocked + "/forms", "a file named like the folder"));
  result = run({"--unattended", "--json=files", "--kit=" + sampleKit(), "--target=" + blocked});
  EXPECT_EQ(result.status, 2) << result.err;
  json = result_of(result, true);
  EXPECT_EQ(json["outcome"].text, "failed");
  EXPECT_FALSE(json["changed"].boolean);
  EXPECT_EQ(json["failure"]["code"].text, "install-error");
  EXPECT_EQ(json["failure"]["file"].text.compare(0, blocked.size() + 6, blocked + "/forms"), 0)
      << json["failure"]["file"].text;
  EXPECT_EQ(testkit::entryNames(blocked), std::vector<std::string>{"forms"});
  EXPECT_EQ(testkit::readFile(blocked + "/forms"), "a file named like the folder");

  // Cancelled.
  writeLargeKit();
  testkit::removeTree(target_);
  makeTarget();
  result = stopMidRun({"--unattended", "--json", "--kit=" + largeKit(), "--target=" + target_}, SIGTERM);
  EXPECT_EQ(result.status, 3) << result.err;
  json = result_of(result);
  EXPECT_EQ(json["outcome"].text, "cancelled");
  EXPECT_EQ(json["failure"]["code"].text, "cancelled");
  EXPECT_FALSE(json["changed"].boolean);
  EXPECT_FALSE(testkit::exists(target_ + "/da"));

  // Refused, for three reasons.
  TargetLock holder;
  ASSERT_EQ(holder.acquire(utf8_to_utf16(target_)), 0u);
  const std::string absent = kits_ + "/absent.okd";
  struct Refusal {
    std::vector<std::string> args;
    std::string code, file;
  } refusals[] = {
      {{"--kit=" + absent, "--target=" + root_ + "/new"}, "kit-not-found", absent},
      {{"--kit=" + sampleKit(), "--target=" + target_}, "target-busy", ""},
      {{"--kit=" + sampleKit(), "--target=" + blocked + "/forms/inner"}, "target-not-folder", ""},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.code);
    std::vector<std::string> args = refusal.args;
    args.insert(args.begin(), {"--unattended", "--json"});
    result = run(args);
    EXPECT_EQ(result.status, 1) << result.err;
    json = result_of(result);
    EXPECT_EQ(json["outcome"].text, "refused");
    EXPECT_FALSE(json["changed"].boolean);
    EXPECT_EQ(json["failure"]["code"].text, refusal.code);
    if (!refusal.file.empty()) {
      EXPECT_EQ(json["failure"]["file"].text, refusal.file);
    }
    EXPECT_NE(result.err, "");
  }
  EXPECT_EQ(json["kit"]["entries"].type, Json::kNumber);
  EXPECT_FALSE(testkit::exists(root_ + "/new"));
}

TEST_F(UnattendedE2eTest, SecondRunOfTheSameKitChangesNothingAndLeavesTheLauncherFileAlone) {
  const std::vector<std::string> args = {"--unattended", "--json", "--kit=" + sampleKit(), "--target=" + target_};
  Result result = run(args);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(result_of(result)["changed"].boolean);
  struct timespec past[2] = {{1400000000, 0}, {1400000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, launcherFile().c_str(), past, 0), 0);
  struct stat first;
  ASSERT_EQ(stat(launcherFile().c_str(), &first), 0);
  const auto targetBefore = tree_of(target_), homeBefore = tree_of(home_);

  result = run(args);
  EXPECT_EQ(result.status, 0) << result.err;
  const Json json = result_of(result);
  EXPECT_FALSE(json["changed"].boolean);
  EXPECT_FALSE(json["launcher"]["changed"].boolean);
  EXPECT_EQ(counts_of(json), "0 installed, 0 replaced, 0 kept newer, 3 up to date");
  struct stat second;
  ASSERT_EQ(stat(launcherFile().c_str(), &second), 0);
  EXPECT_EQ(second.st_ino, first.st_ino);
  EXPECT_EQ(second.st_mtime, 1400000000);
  EXPECT_EQ(differences(targetBefore, tree_of(target_)), "");
  EXPECT_EQ(differences(homeBefore, tree_of(home_)), "");
}

TEST_F(UnattendedE2eTest, UnknownOptionEndsWithStatusOneHavingDoneNothing) {
  const auto homeBefore = tree_of(home_);
  for (const std::string& option : {std::string("--taget=") + target_, std::string("-x")}) {
    SCOPED_TRACE(option);
    const Result result = run({"--unattended", "--kit=" + sampleKit(), option});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    const std::string named = option.substr(0, option.find('='));
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
    EXPECT_FALSE(testkit::exists(target_));
    EXPECT_FALSE(testkit::exists(home_ + "/.ovn8"));  // the default directory
    EXPECT_EQ(differences(homeBefore, tree_of(home_)), "");
  }
  // -q is known: it only drops the per-file lines.
  Result result = run({"--unattended", "-q", "--kit=" + sampleKit(), "--target=" + target_});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find("forms/invoice.tpl"), std::string::npos) << result.out;
  EXPECT_EQ(testkit::readFile(target_ + "/readme.html"), "<html>read me</html>");
}

TEST_F(UnattendedE2eTest, CtrlCInAShellLoopRollsBackAndStopsTheLoop) {
  if (!on_path("bash")) GTEST_SKIP() << "needs bash";
  writeLargeKit();
  makeTarget();
  const auto before = tree_of(target_);
  const std::string loop = "for i in 1 2 3; do '" + binary_ + "' --unattended -q --kit='" + largeKit() +
                           "' --target='" + target_ + "'; echo next $i; done";
  const pid_t shell = fork();
  if (shell == 0) {
    setpgid(0, 0);  // a group of its own, as a terminal's foreground job
    alarm(kGuardSeconds);
    signal(SIGINT, SIG_DFL);
    setenv("HOME", home_.c_str(), 1);
    setenv("TMPDIR", tmp_.c_str(), 1);
    e2e::suppress_toolkit_leaks();
    e2e::exec_with_output({"/bin/bash", "-c", loop}, root_ + "/outloop", root_ + "/errloop");
  }
  setpgid(shell, shell);
  ASSERT_TRUE(e2e::wait_for_lock(target_, shell));
  for (int i = 0; i < 20000 && writtenSoFar() == 0; ++i) usleep(500);
  kill(-shell, SIGINT);  // what Ctrl+C does to the group
  const Result result = finish(shell, "loop");
  EXPECT_EQ(result.status, 1000 + SIGINT) << result.out << result.err;
  EXPECT_EQ(result.out.find("next"), std::string::npos) << result.out;
  EXPECT_EQ(differences(before, tree_of(target_)), "");
}

TEST_F(UnattendedE2eTest, LogSharedByTwoRunsTellsTheirLinesApart) {
  const std::string log = root_ + "/fleet.log";
  const std::vector<std::string> args = {"--unattended", "--kit=" + sampleKit(), "--target=" + target_,
                                         "--log=" + log};
  ASSERT_EQ(run(args).status, 0);
  ASSERT_EQ(run(args).status, 0);
  static const std::regex stamped(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:\d\d) .*\bpid=(\d+)\b.*\brun=(\S+) (.*)$)");
  std::vector<std::string> runs;  // in order of their first line
  std::map<std::string, std::vector<std::string>> eventsOf;
  std::map<std::string, std::set<std::string>> pidsOf;
  std::string line;
  const std::string text = testkit::readFile(log);
  for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    line = text.substr(begin, end - begin);
    std::smatch match;
    if (!std::regex_match(line, match, stamped)) {
      ADD_FAILURE() << "not stamped: " << line;
      continue;
    }
    const std::string run = match[4];
    if (eventsOf.count(run) == 0) runs.push_back(run);
    eventsOf[run].push_back(match[5]);
    pidsOf[run].insert(match[3]);
  }
  ASSERT_EQ(runs.size(), 2u) << text;
  for (const std::string& run : runs) {
    SCOPED_TRACE(run);
    const std::vector<std::string>& events = eventsOf[run];
    EXPECT_EQ(pidsOf[run].size(), 1u);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().rfind("start ", 0), 0u) << events.front();
    for (const std::string* named : {&events.front(), &events.back()}) {
      EXPECT_NE(named->find(sampleKit()), std::string::npos) << *named;
      EXPECT_NE(named->find(target_), std::string::npos) << *named;
    }
    EXPECT_EQ(events.back().rfind("end", 0), 0u) << events.back();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.rfind("counts: ", 0) == 0; }),
              1);
  }
  EXPECT_NE(pidsOf[runs[0]], pidsOf[runs[1]]);
  // "installed" only for what was written: the second run wrote nothing.
  const auto installedLines = [&](const std::string& run) {
    return std::count_if(eventsOf[run].begin(), eventsOf[run].end(),
                         [](const std::string& e) { return e.rfind("installed ", 0) == 0; });
  };
  EXPECT_EQ(installedLines(runs[0]), 3);
  EXPECT_EQ(installedLines(runs[1]), 0);
}

TEST_F(UnattendedE2eTest, ReplacedFilesKeepTheirPermissionBits) {
  ASSERT_EQ(mkdir(target_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((target_ + "/forms").c_str(), 0755), 0);
  const struct {
    std::string name;
    mode_t mode;
  } files[] = {{"/forms/invoice.tpl", 0644}, {"/forms/letter.tpl", 0600}};
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  for (const auto& file : files) {
    const std::string path = target_ + file.name;
    ASSERT_TRUE(testkit::writeFile(path, "old copy"));
    ASSERT_EQ(chmod(path.c_str(), file.mode), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  }
  // And one as new as the kit's: replaced and up-to-date files are counted apart.
  ASSERT_TRUE(testkit::writeFile(target_ + "/readme.html", "<html>read me</html>"));
  struct timespec kits[2] = {{1500000200, 0}, {1500000200, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (target_ + "/readme.html").c_str(), kits, 0), 0);
  const Result result = run({"--unattended", "--json", "--kit=" + sampleKit(), "--target=" + target_});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(counts_of(result_of(result)), "0 installed, 2 replaced, 0 kept newer, 1 up to date");
  for (const auto& file : files) {
    struct stat status;
    ASSERT_EQ(stat((target_ + file.name).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, file.mode) << file.name;
    EXPECT_NE(testkit::readFile(target_ + file.name), "old copy");
  }
}

}  // namespace
