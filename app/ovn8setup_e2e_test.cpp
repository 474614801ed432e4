// The finished program, run as a user would run it unattended:
// `ovn8setup usecwd -S` on kits made here, with its own HOME and TMPDIR,
// without a display and (when the tests have one) under the X server.
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/e2e_support.h"
#include "install/installer.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "platform/file_system.h"
#include "platform/test_toolkit.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/reasons.h"
#include "resources/version.h"

namespace {

std::string read_file(const std::string& path) { return testkit::readFile(path); }

// The entries of `dir` without the folder of the installation record,
// which is the wizard's own (the tests that count installed files look
// for it themselves).
int count_entries(const std::string& dir) {
  int count = 0;
  for (const std::string& name : testkit::entryNames(dir)) count += name != ".n8ctl";
  return count;
}

using testkit::differences;
using testkit::snapshot;


// The snapshot without the times of folders: two installations of one kit
// agree on every file but not on when their folders last changed, nor on
// when their installation records were written (the record counts by its
// presence).
std::map<std::string, std::string> without_folder_times(std::map<std::string, std::string> nodes) {
  for (auto& node : nodes)
    if (S_ISDIR(std::stoul(node.second))) node.second = node.second.substr(0, node.second.find(' '));
  if (nodes.count(".n8ctl/record") != 0) nodes[".n8ctl/record"] = "record";
  return nodes;
}

using e2e::Result;

class SetupE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    binary_ = e2e::wizard_binary();
    if (binary_.empty()) GTEST_SKIP() << "no ovn8setup built";
    ASSERT_TRUE(scratch_.ok());
    root_ = scratch_.path();
    home_ = root_ + "/home";
    tmp_ = root_ + "/tmp";
    kitDir_ = root_ + "/kit";
    for (const std::string& dir : {home_, tmp_, kitDir_}) mkdir(dir.c_str(), 0755);
  }

  std::string privateTmp() const { return testkit::privateTempFolder(tmp_); }
  int left_in_tmp() const { return int(testkit::leftInTemp(tmp_).size()); }

  std::string target() const { return target_.empty() ? home_ + "/.ovn8/Ovan/ovn8/tmplts/" : target_; }
  std::string configPath() const { return home_ + "/.Ovan/ovanstart/ovanstart.cfg"; }

  // `spacer` bytes more in a file of its own, written before the others: a
  // run then holds its directory long enough to be caught there.
  void writeSampleKit(size_t spacer = 0) {
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Sample", u"Vendor", u"readme.html"},
                         {u"ru", u"Пример", u"Поставщик", u"readme.html"}};
    if (spacer > 0)
      spec.files.emplace_back(u"spacer.bin", std::string(spacer, '\0'), config::fileTimeFromUnix(1500000000, 0));
    spec.files.emplace_back(u"forms\\invoice.tpl", "invoice body\n", config::fileTimeFromUnix(1500000000, 0));
    spec.files.emplace_back(u"forms\\deep\\letter.tpl", std::string(70000, 'x'),
                            config::fileTimeFromUnix(1500000100, 0));
    spec.files.emplace_back(u"readme.html", "<html>read me</html>", config::fileTimeFromUnix(1500000200, 0));
    ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd", spec));
  }

  // Starts the program in the kit directory; `display` false removes
  // DISPLAY. Its output goes to files named after `tag`. An alarm ends it
  // after `seconds`, so that a run that blocks shows as killed by SIGALRM
  // (status 1014) instead of hanging.
  pid_t spawn(std::vector<std::string> args, bool display, const std::string& tag = "",
              unsigned seconds = 120) {
    const std::string outPath = root_ + "/out" + tag, errPath = root_ + "/err" + tag;
    const pid_t child = fork();
    if (child == 0) {
      alarm(seconds);  // kept across exec
      if (chdir(kitDir_.c_str()) != 0) _exit(120);
      setenv("HOME", home_.c_str(), 1);
      setenv("TMPDIR", tmp_.c_str(), 1);
      setenv("LANG", "C.UTF-8", 1);
      unsetenv("LC_ALL");
      unsetenv("LANGUAGE");
      if (messageBoxes_.empty())
        unsetenv("OVN8_MESSAGE_BOX");
      else
        setenv("OVN8_MESSAGE_BOX", messageBoxes_.c_str(), 1);
      if (!display) unsetenv("DISPLAY");
      e2e::suppress_toolkit_leaks();
      args.insert(args.begin(), binary_);
      e2e::exec_with_output(args, unreadOutput_ ? "" : outPath, errPath);
    }
    return child;
  }

  Result finish(pid_t child, const std::string& tag = "") {
    return e2e::finish_child(child, root_ + "/out" + tag, root_ + "/err" + tag);
  }

  Result run(std::vector<std::string> args, bool display) {
    return finish(spawn(std::move(args), display));
  }

  // Another program of the build, run the same way.
  Result runProgram(const std::string& binary, std::vector<std::string> args, bool display) {
    const std::string wizard = binary_;
    binary_ = binary;
    Result result = run(std::move(args), display);
    binary_ = wizard;
    return result;
  }

  void expectInstalled(const Result& result) {
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_file(target() + "forms/invoice.tpl"), "invoice body\n");
    EXPECT_TRUE(read_file(target() + "forms/deep/letter.tpl") == std::string(70000, 'x'));
    EXPECT_EQ(read_file(target() + "readme.html"), "<html>read me</html>");
    EXPECT_EQ(testkit::modificationTime(target() + "forms/invoice.tpl"), 1500000000);
    EXPECT_EQ(testkit::modificationTime(target() + "forms/deep/letter.tpl"), 1500000100);
    EXPECT_EQ(testkit::modificationTime(target() + "readme.html"), 1500000200);
    const std::string config = read_file(configPath());
    std::string directory = target();
    directory.pop_back();
    const std::string first = "ConfigurationTemplatesLocation=" + directory + "\n";
    EXPECT_EQ(config.compare(0, first.size(), first), 0) << config;
    EXPECT_EQ(left_in_tmp(), 0) << "left in TMPDIR";
  }

  // A kit of three one-byte entries, "a", "b" and "c", by these names.
  void writeThreeEntryKit(const std::u16string& first, const std::u16string& second,
                          const std::u16string& third) {
    const _FILETIME time = config::fileTimeFromUnix(1500000000, 0);
    const std::string container = config::ContainerBuilder()
                                      .u32(0).u32(0).u32(0).u32(0).u32(3)
                                      .entryRecord(first, time, 0, 1)
                                      .entryRecord(second, time, 1, 1)
                                      .entryRecord(third, time, 2, 1)
                                      .raw("abc")
                                      .bytes();
    ASSERT_TRUE(config::writeContainerAsKit(kitDir_ + "/ovn8.okd", container));
  }

  // A kit of `count` files in nested folders over a target that holds older
  // copies of every other one, and files of its own.
  void writeKitOverOlderCopies(int count, size_t size) {
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Large", u"Vendor", u""}};
    for (int i = 0; i < count; ++i) {
      const std::string name = "d" + std::to_string(i % 7) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i);
      std::u16string wideName;
      for (char c : name) wideName.push_back(c == '/' ? u'\\' : char16_t(c));
      spec.files.emplace_back(wideName, std::string(size, char('a' + i % 26)) + std::to_string(i),
                              config::fileTimeFromUnix(1600000000 + i, 0));
      if (i % 2 == 0) {
        const std::string path = target() + name;
        ASSERT_EQ(system(("mkdir -p \"$(dirname '" + path + "')\"").c_str()), 0);
        std::ofstream(path) << "old copy " << i;
        struct timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), old, 0);
      }
    }
    std::ofstream(target() + "own.txt") << "the user's own file";
    ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd", spec));
  }

  testkit::ScratchDir scratch_{"/tmp", "ovn8e2e"};
  // The kit-not-found line: the sentence, then where the wizard looked.
  std::string noKit() const {
    return "Installing configuration: Distribution kit file ovn8.okd not found. The wizard looked for it here: " +
           kitDir_ + "/ovn8.okd\n";
  }

  std::string binary_, root_, home_, tmp_, kitDir_, target_;
  // OVN8_MESSAGE_BOX for the program; empty: not set.
  std::string messageBoxes_;
  // Standard output a pipe that nobody reads.
  bool unreadOutput_ = false;
};

TEST_F(SetupE2eTest, HeadlessSilentRunInstallsRecordsAndReportsEachEntry) {
  writeSampleKit();
  // The first writable directory of the launcher's list is proposed; the
  // other entries stay behind it.
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << root_ << "/chosen/\n"
                              << "ConfigurationTemplatesLocation=" << root_ << "/other\n";
  target_ = root_ + "/chosen/";
  const Result result = run({"usecwd", "-S"}, false);
  expectInstalled(result);
  EXPECT_NE(read_file(configPath()).find(root_ + "/other"), std::string::npos);
  // One line per entry, in kit order, then the closing text with what
  // was done where.
  EXPECT_EQ(result.out, "  0% " + target() + "forms/invoice.tpl\n" +
                            " 33% " + target() + "forms/deep/letter.tpl\n" +
                            " 66% " + target() + "readme.html\n" +
                            "Configuration installed successfully. Template directory: " + target() +
                            "; Files installed: 3; Older copies replaced: 0; Newer existing files kept: 0\n");
  EXPECT_EQ(result.err, "");

  // A second run finds every file up to date and still succeeds; one
  // file made newer meanwhile is kept, another made older but holding the
  // kit's bytes only takes the entry's time: nothing is written.
  ASSERT_EQ(system(("touch -d 2035-01-01 '" + target() + "readme.html'").c_str()), 0);
  ASSERT_EQ(system(("touch -d 2001-01-01 '" + target() + "forms/invoice.tpl'").c_str()), 0);
  const Result again = run({"usecwd", "-S", "-Lru"}, false);
  EXPECT_EQ(again.status, 0) << again.err;
  const std::string last = again.out.substr(again.out.rfind('\n', again.out.size() - 2) + 1);
  // The directory as the launcher's list now holds it, without the "/".
  EXPECT_EQ(last, "Конфигурация успешно установлена. Каталог шаблонов: " + root_ + "/chosen" +
                      "; Установлено файлов: 0; Заменено старых копий: 0; Сохранено более новых файлов: 1\n");
  EXPECT_EQ(left_in_tmp(), 0);
}

TEST_F(SetupE2eTest, SilentRunUnderTheDisplayInstallsWithoutWaiting) {
  if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  writeSampleKit();
  const Result result = run({"usecwd", "-S", "-Lde"}, true);
  expectInstalled(result);
  EXPECT_EQ(result.err, "");
}

TEST_F(SetupE2eTest, MissingAndDamagedKitsEndWithStatusOneAndTheirMessage) {
  for (bool display : {false, true}) {
    if (display && getenv("DISPLAY") == nullptr) continue;
    SCOPED_TRACE(display ? "display" : "headless");
    // Under the display the error boxes wait for a person; these close by themselves.
    messageBoxes_ = display ? "autoclose" : "";
    unlink((kitDir_ + "/ovn8.okd").c_str());
    Result result = run({"usecwd", "-S"}, display);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, noKit());
    result = run({"usecwd", "-S", "-Lru"}, display);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Установка конфигурации: Файл комплекта установки ovn8.okd не найден. Мастер искал его здесь: " +
                              kitDir_ + "/ovn8.okd\n");

    ASSERT_TRUE(config::writeFileBytes(kitDir_ + "/ovn8.okd", "\x01\x02 not a kit at all"));
    result = run({"usecwd", "-S"}, display);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Installing configuration: Distribution kit file ovn8.okd corrupted or not designed for "
              "this installation program. The data of the distribution kit are damaged.\n");
    result = run({"usecwd", "-S", "-Lru"}, display);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Установка конфигурации: Файл комплекта установки ovn8.okd поврежден или не предназначен "
              "для этой программы установки. Данные комплекта установки повреждены.\n");
    EXPECT_EQ(left_in_tmp(), 0);
    EXPECT_EQ(count_entries(home_), 0);
  }
}

TEST_F(SetupE2eTest, SilentErrorBoxUnderTheDisplayWaitsForTheUser) {
  if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  // No kit: the start-up check's error box. Nobody answers it.
  const pid_t child = spawn({"usecwd", "-S", "-Lde"}, true);
  ASSERT_GT(child, 0);
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 30 && ended == 0; ++i) {
    usleep(100000);
    ended = waitpid(child, &status, WNOHANG);
  }
  EXPECT_EQ(ended, 0) << "the box closed by itself";
  if (ended == 0) kill(child, SIGTERM);
  const Result result = finish(child);  // reaps it, or finds it reaped
  // The reason is on standard error as well, in the interface language.
  EXPECT_EQ(result.err.find("Installation der Konfiguration: Die Installationspaketdatei ovn8.okd "
                            "wurde nicht gefunden. Der Assistent hat hier danach gesucht: " +
                            kitDir_ + "/ovn8.okd\n"),
            0u)
      << result.err;
}

TEST_F(SetupE2eTest, WithoutADisplayTheWizardSaysSoInItsLanguage) {
  writeSampleKit();
  Result result = run({"usecwd"}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ovn8setup: cannot open the display; use -S to install without one.\n");
  result = run({"usecwd", "-Lru"}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "ovn8setup: не удаётся открыть дисплей; для установки без него используйте -S.\n");
  EXPECT_EQ(left_in_tmp(), 0);
}

// A reader of the output that goes away (`ovn8setup -S | head -1`) leaves
// the installation to finish; its status tells how it ended.
TEST_F(SetupE2eTest, OutputThatNobodyReadsStillEndsInAWholeInstallation) {
  writeSampleKit();
  unreadOutput_ = true;
  const auto runsFolders = [this] {
    int found = 0;
    for (const std::string& name : testkit::entryNames(target())) found += name.rfind(".n8stp", 0) == 0;
    return found;
  };
  expectInstalled(run({"usecwd", "-S"}, false));
  EXPECT_EQ(runsFolders(), 0);
  // The report in JSON is lost the same way; the status still says.
  const Result again = run({"usecwd", "--unattended", "--json"}, false);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(runsFolders(), 0);
}

TEST_F(SetupE2eTest, FailedInstallationRollsBackAndEndsWithStatusTwo) {
  for (const char* folderTime : {"2001-01-01", "2030-01-01"}) {
  SCOPED_TRACE(folderTime);
  writeSampleKit();
  // A directory stands where the kit's readme.html must go, older or newer
  // than the entry: either way the file cannot be installed.
  const std::string blocker = target() + "readme.html";
  ASSERT_EQ(system(("mkdir -p '" + blocker + "/inner' && touch -d " + folderTime + " '" + blocker + "'").c_str()), 0);
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 2) << result.out << result.err;
  // The line names the file as the kit names it and why, in the
  // interface language.
  EXPECT_EQ(result.err,
            "Installing configuration: Installation error readme.html"
            " A folder stands where the file must go.\n"
            "An error occurred during the installation process. Installation canceled. "
            "Template directory has not been changed.\n");
  const Result russian = run({"usecwd", "-S", "-Lru"}, false);
  EXPECT_EQ(russian.status, 2);
  EXPECT_EQ(russian.err,
            "Установка конфигурации: Ошибка при инсталляции readme.html"
            " На месте файла находится каталог.\n"
            "В процессе установки произошла ошибка. Установка прервана. Каталог шаблонов не изменен.\n");
  // The files written before the failure are gone again.
  EXPECT_EQ(testkit::modificationTime(target() + "forms/invoice.tpl"), -1);
  EXPECT_EQ(access(configPath().c_str(), F_OK), -1);
  EXPECT_EQ(left_in_tmp(), 0);
  EXPECT_EQ(count_entries(blocker), 1);
  }
}

TEST_F(SetupE2eTest, SilentModeRefusesAnEmptyTarget) {
  writeSampleKit();
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=http://example.org/t\n";
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Installing configuration: Specify correct path to template directory.\n");
  EXPECT_EQ(left_in_tmp(), 0);
}

using e2e::wait_for_lock;

const char kBusyText[] =
    "Installing configuration: Another installation into this template directory is in progress. "
    "Wait until it has finished and start the installation again.\n";

// Large enough that a run is caught holding its directory.
const size_t kSpacer = 96 << 20;

TEST_F(SetupE2eTest, SecondWizardOnTheSameDirectoryRefusesAndChangesNothing) {
  writeSampleKit(kSpacer);
  const pid_t first = spawn({"usecwd", "-S"}, false, "1");
  // Stopped while it holds the lock: the second wizard meets the lock
  // however long it takes to start.
  ASSERT_TRUE(wait_for_lock(target(), first));
  kill(first, SIGSTOP);
  const Result second = run({"usecwd", "-S"}, false);
  EXPECT_EQ(second.status, 1) << second.out;
  EXPECT_EQ(second.err, kBusyText);
  EXPECT_EQ(second.out, "");
  const Result russian = run({"usecwd", "-S", "-Lru"}, false);
  EXPECT_EQ(russian.status, 1);
  EXPECT_EQ(russian.err,
            "Установка конфигурации: Другая программа установки уже устанавливает конфигурацию в этот "
            "каталог шаблонов. Дождитесь её завершения и повторите установку.\n");
  if (getenv("DISPLAY") != nullptr) {
    // An error box waits for the user under a display; this one answers it.
    messageBoxes_ = "autoclose";
    const Result windowed = run({"usecwd", "-S"}, true);
    messageBoxes_.clear();
    EXPECT_EQ(windowed.status, 1);
    EXPECT_EQ(windowed.err, kBusyText);
  }
  kill(first, SIGCONT);
  expectInstalled(finish(first, "1"));
  EXPECT_EQ(count_entries(target()), 3);  // forms, readme.html, spacer.bin
  EXPECT_TRUE(testkit::exists(target() + ".n8ctl/record"));
  EXPECT_EQ(count_entries(target() + "forms"), 2);
  EXPECT_EQ(count_entries(target() + "forms/deep"), 1);

  // Started at the same moment: one installs; the other refuses, or runs
  // after it and finds nothing left to do. The tree is the installed one.
  for (int pair = 0; pair < 3; ++pair) {
    testkit::removeTree(target());
    testkit::removeTree(home_ + "/.Ovan");
    ASSERT_FALSE(testkit::exists(target()) || testkit::exists(home_ + "/.Ovan"));
    const pid_t a = spawn({"usecwd", "-S"}, false, "a");
    const pid_t b = spawn({"usecwd", "-S"}, false, "b");
    const Result ra = finish(a, "a"), rb = finish(b, "b");
    EXPECT_TRUE(ra.status == 0 || rb.status == 0) << ra.err << rb.err;
    for (const Result* r : {&ra, &rb}) {
      EXPECT_TRUE(r->status == 0 || r->status == 1) << r->err;
      if (r->status == 1) {
        EXPECT_EQ(r->err, kBusyText);
      }
    }
    expectInstalled(ra.status == 0 ? ra : rb);
    EXPECT_EQ(count_entries(target()), 3);
    EXPECT_EQ(count_entries(target() + "forms"), 2);
  }
}

// Two wizards on two directories: the one that finishes last must not write
// a list read before the other recorded its directory. The first is held
// while it installs, the second installs and records in the meantime.
TEST_F(SetupE2eTest, WizardsOnTwoDirectoriesBothStayInTheLaunchersList) {
  writeSampleKit(kSpacer);
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << root_ << "/earlier\n";
  const pid_t first = spawn({"usecwd", "-S", "--target=" + root_ + "/one"}, false, "1");
  ASSERT_TRUE(wait_for_lock(root_ + "/one/", first));
  kill(first, SIGSTOP);
  // Its own temporary directory: the held wizard's files stay in the first.
  const std::string firstTmp = tmp_;
  tmp_ = root_ + "/tmp2";
  mkdir(tmp_.c_str(), 0755);
  target_ = root_ + "/two/";
  expectInstalled(run({"usecwd", "-S", "--target=" + root_ + "/two"}, false));
  tmp_ = firstTmp;
  kill(first, SIGCONT);
  target_ = root_ + "/one/";
  expectInstalled(finish(first, "1"));
  EXPECT_EQ(read_file(configPath()),
            "ConfigurationTemplatesLocation=" + root_ + "/one\n" +
            "ConfigurationTemplatesLocation=" + root_ + "/two\n" +
            "ConfigurationTemplatesLocation=" + root_ + "/earlier\n");
}

// ---- Recovery at the next start ----

// Dies at the second rename of a written entry into the target.
uint32_t die_at_second_placement(FileOp op, const std::u16string& path, void* context) {
  int* renames = static_cast<int*>(context);
  if (op == FileOp::MoveFileEx && path.find(u"/.n8new") != std::u16string::npos && ++*renames == 2)
    _exit(77);
  return 0;
}

TEST_F(SetupE2eTest, NextStartPutsBackAStoppedInstallationAndSaysSo) {
  writeSampleKit();
  ASSERT_EQ(system(("mkdir -p '" + target() + "forms' && printf 'old invoice' > '" + target() +
                    "forms/invoice.tpl' && touch -d 2001-01-01 '" + target() + "forms/invoice.tpl'")
                       .c_str()),
            0);
  const int64_t oldTime = testkit::modificationTime(target() + "forms/invoice.tpl");
  // A run killed half-way: the first entry replaced, its original in the
  // backup folder, the second written under its temporary name.
  const pid_t child = fork();
  if (child == 0) {
    setenv("HOME", home_.c_str(), 1);
    // Its unpacked kit lies apart: removing those of dead processes is not
    // what this test is about.
    const std::string kitTemp = root_ + "/kittmp";
    mkdir(kitTemp.c_str(), 0755);
    setenv("TMPDIR", kitTemp.c_str(), 1);
    KitReader kit;
    if (kit.open(widen_lib(kitDir_ + "/ovn8.okd")) != 0) _exit(1);
    setenv("TMPDIR", tmp_.c_str(), 1);
    InstallProcessData data;
    data.init(&kit, widen_lib(target()));
    int renames = 0;
    FileSystem::SetFaultHook(&die_at_second_placement, &renames);
    Installer().run(&data);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 77);
  ASSERT_EQ(read_file(target() + "forms/invoice.tpl"), "invoice body\n");

  // The next start, even one that fails its start-up checks at once, puts
  // the directory back and says so in one line.
  ASSERT_EQ(rename((kitDir_ + "/ovn8.okd").c_str(), (root_ + "/away.okd").c_str()), 0);
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Installing configuration: The previous installation into this directory was "
            "interrupted. The directory has been restored to the state it had before: " +
                target() + "\n" + noKit());
  EXPECT_EQ(read_file(target() + "forms/invoice.tpl"), "old invoice");
  EXPECT_EQ(testkit::modificationTime(target() + "forms/invoice.tpl"), oldTime);
  EXPECT_EQ(count_entries(target()), 1);
  EXPECT_EQ(count_entries(target() + "forms"), 1);
  EXPECT_EQ(left_in_tmp(), 0);
  EXPECT_EQ(count_entries(home_), 1);  // .ovn8, the target's folder; no run record

  // Told once: the start after it says nothing of it, and installs.
  ASSERT_EQ(rename((root_ + "/away.okd").c_str(), (kitDir_ + "/ovn8.okd").c_str()), 0);
  const Result again = run({"usecwd", "-S"}, false);
  EXPECT_EQ(again.err.find("interrupted"), std::string::npos) << again.err;
  expectInstalled(again);
}

// ---- Options for administrators ----

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The log's lines without their time stamps, after checking that every line
// has one.
std::vector<std::string> log_events(const std::string& log) {
  static const std::regex stamped(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d pid=\d+ run=[0-9a-f]{8} (.*)$)");
  std::vector<std::string> events;
  for (const std::string& line : lines_of(log)) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, stamped)) << line;
    events.push_back(match.size() > 1 ? match[1].str() : line);
  }
  return events;
}

// The end line without the kit and target it names.
std::string outcome_of(const std::string& endLine) { return endLine.substr(0, endLine.find("; kit ")); }

int count_of(const std::vector<std::string>& lines, const std::string& line) {
  return int(std::count(lines.begin(), lines.end(), line));
}

TEST_F(SetupE2eTest, HelpAndVersionNeedNoKitNoDisplayAndTouchNothing) {
  // No kit lies in the folder.
  Result result = run({"--help"}, false);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Usage: ovn8setup [usecwd] [-S] [--unattended] [--kit=FILE | FILE]");
  for (const char* part : {"\n  usecwd ", "\n  -S ", "\n  -L<CODE> ", "ru uk en lv lt bg de ro ka kk vi tr\n",
                           "\n  --unattended ", "\n  --kit=FILE ", "\n  --dry-run ", "\n  --json[=files] ",
                           "\n  -q, --quiet ", "\n  --target=DIR ", "\n  --log=FILE ", "\n  --help ",
                           "\n  --version ", "-Silent, /Lde)", "SIGINT", "OVN8_MESSAGE_BOX",
                           "\nExit status:\n", "\n  0  installed", "installation into the same directory",
                           "\n  3  cancelled", "\n  4  installed, but the launcher's configuration file"})
    EXPECT_NE(result.out.find(part), std::string::npos) << part;
  // Every line fits a terminal of 80 columns, in every language.
  for (const char* language : {"-Len", "-Lru", "-Lka", "-Lvi", "-Lde"}) {
    const Result help = run({"--help", language}, false);
    for (const std::string& line : lines_of(help.out)) {
      size_t columns = 0;
      for (const char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      EXPECT_LE(columns, 79u) << language << ": " << line;
    }
  }

  // In the language of -L, also behind other options; the locale otherwise.
  result = run({"usecwd", "-S", "-Lru", "--help"}, false);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("Использование: ovn8setup [usecwd]", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("  4  установлено, но"), std::string::npos);

  for (bool display : {false, true}) {
    if (display && getenv("DISPLAY") == nullptr) continue;
    result = run({"--version"}, display);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string("ovn8setup ") + program_version() + "\n");
    EXPECT_TRUE(std::regex_match(result.out, std::regex("ovn8setup 1\\.[0-9]+\\.[0-9]+\n")));
    EXPECT_EQ(result.err, "");
  }
  result = runProgram(std::string(getenv("OVN8_BUILD_DIR") ? getenv("OVN8_BUILD_DIR") : ".") + "/okdpack",
                      {"--version"}, false);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("okdpack ") + program_version() + "\n");
  EXPECT_EQ(count_entries(home_), 0);
  EXPECT_EQ(left_in_tmp(), 0);
}

// Runs without a window start without the toolkit (its libraries are most
// of a short run's start); a run that may show a window is handed to the
// window program, and a copy of the program without one says so and
// changes nothing.
TEST_F(SetupE2eTest, RunsWithoutAWindowLoadNoToolkitAndAWindowNeedsTheWindowProgram) {
  writeSampleKit();
  setenv("LD_DEBUG", "files", 1);
  setenv("LD_DEBUG_OUTPUT", (root_ + "/loader").c_str(), 1);
  const Result result = run({"usecwd", "-S", "--unattended", "-Lde"}, false);
  unsetenv("LD_DEBUG");
  unsetenv("LD_DEBUG_OUTPUT");
  expectInstalled(result);
  std::string loaded;
  for (const std::string& name : testkit::entryNames(root_))
    if (name.rfind("loader.", 0) == 0) loaded += read_file(root_ + "/" + name);
  EXPECT_NE(loaded.find("libz.so"), std::string::npos) << "the loader's log is missing";
  EXPECT_EQ(loaded.find("libgtk"), std::string::npos);
  EXPECT_EQ(loaded.find("libglib"), std::string::npos);

  if (access(OVN8_INSTALLED_WINDOW_PROGRAM, F_OK) == 0) return;  // a copy would start the installed one
  ASSERT_EQ(mkdir((root_ + "/alone").c_str(), 0755), 0);
  const std::string alone = root_ + "/alone/ovn8setup";
  {
    std::ifstream from(binary_, std::ios::binary);
    std::ofstream to(alone, std::ios::binary);
    to << from.rdbuf();
  }
  ASSERT_EQ(chmod(alone.c_str(), 0755), 0);
  ASSERT_EQ(system(("rm -rf '" + target() + "'").c_str()), 0);
  const char* display = getenv("DISPLAY");
  const std::string ownDisplay = display ? display : "";
  setenv("DISPLAY", display ? display : ":97", 1);
  const Result refused = runProgram(alone, {"usecwd", "-S", "-Lde"}, true);
  ownDisplay.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", ownDisplay.c_str(), 1);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "ovn8setup: the wizard's window program " OVN8_INSTALLED_WINDOW_PROGRAM
                         " cannot be started: No such file or directory\n");
  EXPECT_EQ(access(target().c_str(), F_OK), -1);
  EXPECT_EQ(left_in_tmp(), 0);
}

TEST_F(SetupE2eTest, OptionWithoutItsValueEndsWithStatusOne) {
  writeSampleKit();
  const Result result = run({"usecwd", "-S", "--target="}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ovn8setup: This option needs a value: --target\n");
  EXPECT_EQ(count_entries(home_), 0);
  EXPECT_EQ(left_in_tmp(), 0);
}

TEST_F(SetupE2eTest, TargetOptionInstallsThereAndRecordsItFirst) {
  writeSampleKit();
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << root_ << "/proposed/\n";
  target_ = root_ + "/given/";
  Result result = run({"usecwd", "-S", "--target=" + root_ + "/given"}, false);
  expectInstalled(result);
  EXPECT_EQ(count_entries(root_ + "/proposed"), 0);
  EXPECT_NE(read_file(configPath()).find(root_ + "/proposed"), std::string::npos);

  // A relative directory is taken from where the program was started, and
  // recorded absolute.
  target_ = kitDir_ + "/relative/";
  result = run({"usecwd", "--target", "relative", "-S"}, false);
  expectInstalled(result);
  EXPECT_NE(read_file(configPath()).find(root_ + "/given\n"), std::string::npos);
}

TEST_F(SetupE2eTest, LogNamesEveryEntryAndTheOutcomeAndAppends) {
  writeSampleKit();
  const std::string log = root_ + "/logs/run.log";
  mkdir((root_ + "/logs").c_str(), 0755);
  const mode_t old = umask(0);
  Result result = run({"usecwd", "-S", "--log=" + log}, false);
  umask(old);
  expectInstalled(result);
  EXPECT_EQ(result.err, "");
  struct stat status;
  ASSERT_EQ(stat(log.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  std::vector<std::string> events = log_events(read_file(log));
  ASSERT_GE(events.size(), 5u);
  const std::string kit = kitDir_ + "/ovn8.okd";
  EXPECT_EQ(events[0], "start ovn8setup " + std::string(program_version()) + ", kit " + kit + " (" +
                           std::to_string(read_file(kit).size()) + " bytes), target " + target() +
                           ", language en, mode silent without a display");
  for (const char* name : {"forms/invoice.tpl", "forms/deep/letter.tpl", "readme.html"})
    EXPECT_EQ(count_of(events, "installed " + target() + name), 1) << name;
  EXPECT_EQ(outcome_of(events.back()), "end: exit status 0, installed");

  // Again, with one file made newer than the kit's: every entry is named
  // with what was done, after the first run's lines.
  ASSERT_EQ(system(("touch -d 2030-01-01 '" + target() + "readme.html'").c_str()), 0);
  result = run({"usecwd", "-S", "--log", log}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  events = log_events(read_file(log));
  int starts = 0;
  for (const std::string& event : events) starts += event.compare(0, 6, "start ") == 0;
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(count_of(events, "skipped " + target() + "forms/invoice.tpl: up to date"), 1);
  EXPECT_EQ(count_of(events, "skipped " + target() + "forms/deep/letter.tpl: up to date"), 1);
  EXPECT_EQ(count_of(events, "kept " + target() + "readme.html: newer than the kit's entry"), 1);
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return outcome_of(e) == "end: exit status 0, installed"; }),
            2);
}

TEST_F(SetupE2eTest, LogOfAFailedRunNamesTheFileTheReasonAndTheRollback) {
  writeSampleKit();
  const std::string blocker = target() + "readme.html";
  ASSERT_EQ(system(("mkdir -p '" + blocker + "/inner' && touch -d 2001-01-01 '" + blocker + "'").c_str()), 0);
  const std::string log = root_ + "/run.log";
  const Result result = run({"usecwd", "-S", "--log=" + log}, false);
  EXPECT_EQ(result.status, 2);
  const std::vector<std::string> events = log_events(read_file(log));
  // The kit is streamed: the files before the failure were written under
  // their temporary names, and none was put in place.
  EXPECT_EQ(count_of(events, "installed " + target() + "forms/invoice.tpl"), 0) << read_file(log);
  EXPECT_EQ(count_of(events, "error " + blocker + ": a folder stands where the file goes (error 267); rolling back"), 1)
      << read_file(log);
  EXPECT_EQ(count_of(events, "rollback: removed " + target() + "forms/invoice.tpl"), 0);
  // The folder the run made went whole, still under its staging name.
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [&](const std::string& e) { return e.find(", the unfinished " + target() + "forms") != std::string::npos; }),
            1)
      << read_file(log);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(outcome_of(events.back()), "end: exit status 2, the installation failed and was rolled back");
}

TEST_F(SetupE2eTest, LogThatCannotBeWrittenIsReportedOnceAndTheRunGoesOn) {
  writeSampleKit();
  // /dev/full takes the open and refuses every write; a folder refuses the open.
  for (const std::string& log : {std::string("/dev/full"), root_}) {
    SCOPED_TRACE(log);
    const Result result = run({"usecwd", "-S", "--log=" + log}, false);
    expectInstalled(result);
    const std::string reason = log == root_ ? "Is a directory" : "No space left on device";
    EXPECT_EQ(result.err, "ovn8setup: " + log + ": " + reason +
                              ". The log file cannot be written; the installation continues without a log.\n");
  }
}

TEST_F(SetupE2eTest, LauncherFileThatCannotBeWrittenGivesStatusFourAndAWarning) {
  writeSampleKit();
  // A file where the launcher's folder must be: nothing can be written there.
  ASSERT_TRUE(config::writeFileBytes(home_ + "/.Ovan", "not a folder"));
  const std::string log = root_ + "/run.log";
  Result result = run({"usecwd", "-S", "--log=" + log}, false);
  EXPECT_EQ(result.status, 4) << result.err;
  EXPECT_EQ(read_file(target() + "forms/invoice.tpl"), "invoice body\n");
  EXPECT_EQ(result.err,
            "Installing configuration: The configuration was installed, but the launcher's configuration "
            "file could not be updated: the launcher will not offer the new templates.  " +
                home_ + "/.Ovan/ovanstart/ovanstart.cfg " + narrow_lib(failure_reason(ERROR_NOT_A_FOLDER)) + "\n");
  const std::vector<std::string> events = log_events(read_file(log));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(outcome_of(events.back()), "end: exit status 4, installed, but the launcher's file was not updated");
  bool named = false;
  for (const std::string& event : events)
    named |= event.compare(0, 6 + configPath().size(), "error " + configPath()) == 0;
  EXPECT_TRUE(named) << read_file(log);
  EXPECT_EQ(left_in_tmp(), 0);

  result = run({"usecwd", "-S", "-Lde"}, false);
  EXPECT_EQ(result.status, 4);
  EXPECT_NE(result.err.find("Der Starter bietet die neuen Vorlagen nicht an."), std::string::npos) << result.err;
}

TEST_F(SetupE2eTest, StopSignalsMidRunCancelRollBackAndEndWithStatusThree) {
  target_ = root_ + "/tmplts/";
  mkdir(target_.c_str(), 0755);
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << target_ << "\n";
  writeKitOverOlderCopies(1500, 20000);
  const std::map<std::string, std::string> before = snapshot(target());
  struct Case {
    int signal;
    bool display;
  };
  std::vector<Case> cases = {{SIGHUP, false}, {SIGTERM, false}, {SIGQUIT, false}, {SIGINT, false}};
  if (getenv("DISPLAY") != nullptr) cases.push_back({SIGTERM, true}), cases.push_back({SIGHUP, true});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "signal " << c.signal << (c.display ? " display" : ""));
    const pid_t child = spawn({"usecwd", "-S"}, c.display, "s");
    ASSERT_TRUE(wait_for_lock(target_, child));
    // The run is writing once its private folder is there (the lock alone
    // may be the check before the run); then some entries go in.
    auto writing = [&] {
      bool found = false;
      if (DIR* stream = opendir(target_.c_str())) {
        while (dirent* entry = readdir(stream))
          found = found || std::string(entry->d_name).compare(0, 6, ".n8stp") == 0;
        closedir(stream);
      }
      return found;
    };
    for (int i = 0; i < 30000 && !writing(); ++i) usleep(1000);
    ASSERT_TRUE(writing());
    usleep(20000);
    kill(child, c.signal);
    const Result result = finish(child, "s");
    // Ctrl+C ends the wizard by SIGINT once all is put back, so that a
    // shell loop around it stops too.
    EXPECT_EQ(result.status, c.signal == SIGINT ? 1000 + SIGINT : 3) << result.err;
    if (!c.display) {
      EXPECT_EQ(result.err, "Installation canceled. Template directory has not been changed.\n");
    }
    EXPECT_EQ(differences(before, snapshot(target())), "");
    EXPECT_EQ(left_in_tmp(), 0) << "left in TMPDIR";
    EXPECT_EQ(read_file(configPath()), "ConfigurationTemplatesLocation=" + target_ + "\n");
  }
}

TEST_F(SetupE2eTest, AStopSignalBeforeTheRunEndsTheWizardWithStatusThreeAndNoContainer) {
  if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  writeSampleKit();
  for (int signal : {SIGTERM, SIGHUP}) {
    // The interactive wizard waits on its welcome page.
    const pid_t child = spawn({"usecwd"}, true, "w");
    for (int i = 0; i < 4000 && left_in_tmp() == 0; ++i) usleep(1000);
    usleep(300000);
    kill(child, signal);
    const Result result = finish(child, "w");
    EXPECT_EQ(result.status, 3) << signal;
    EXPECT_EQ(left_in_tmp(), 0) << signal;
    EXPECT_EQ(access(target().c_str(), F_OK), -1) << signal;
  }
}

TEST_F(SetupE2eTest, ATargetOnAFileSystemThatFillsUpIsLeftExactlyAsItWas) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const std::string mount = root_ + "/small";
  mkdir(mount.c_str(), 0755);
  if (system(("mount -t tmpfs -o size=2m tmpfs '" + mount + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string path;
    ~Unmount() { (void)system(("umount '" + path + "'").c_str()); }
  } unmount{mount};
  target_ = mount + "/tmplts/";
  mkdir(target_.c_str(), 0755);
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << target_ << "\n";
  // Older copies of half the entries, and about 3.6 MB to write into 2 MB.
  writeKitOverOlderCopies(60, 60000);
  const std::map<std::string, std::string> before = snapshot(target());
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_TRUE(result.status == 1 || result.status == 2) << result.status << result.err;
  EXPECT_EQ(differences(before, snapshot(target())), "");
  EXPECT_EQ(count_entries(mount), 1) << "left beside the target";
  EXPECT_EQ(left_in_tmp(), 0) << "left in TMPDIR";
  EXPECT_EQ(read_file(configPath()), "ConfigurationTemplatesLocation=" + target_ + "\n");
}

// Waits until the file holds `lines` lines (or the child has ended).
bool wait_for_lines(const std::string& path, int lines, pid_t child) {
  for (int i = 0; i < 600000; ++i) {
    const std::string text = read_file(path);
    if (std::count(text.begin(), text.end(), '\n') >= lines) return true;
    if (waitpid(child, nullptr, WNOHANG) != 0) return false;
    usleep(100);
  }
  return false;
}

TEST_F(SetupE2eTest, KilledAtAnyMomentTheNextStartRestoresTheDirectoryExactly) {
  // TMPDIR on another file system than the target.
  if (access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no /dev/shm";
  const testkit::ScratchDir shm("/dev/shm", "ovn8e2e");
  ASSERT_TRUE(shm.ok());
  tmp_ = shm.path();
  target_ = root_ + "/tmplts/";
  mkdir(target_.c_str(), 0755);
  writeKitOverOlderCopies(3000, 3000);
  const std::map<std::string, std::string> before = snapshot(target());
  ASSERT_EQ(system(("cp -a '" + target_ + "' '" + root_ + "/pristine'").c_str()), 0);
  ASSERT_EQ(run({"usecwd", "-S", "--target=" + target_}, false).status, 0);
  const std::map<std::string, std::string> installed = snapshot(target());
  const std::string kit = kitDir_ + "/ovn8.okd", away = root_ + "/kit.away";
  int restored = 0, committed = 0;
  for (int moment = 0; moment < 12; ++moment) {
    SCOPED_TRACE(testing::Message() << "moment " << moment);
    testkit::removeTree(target_);
    testkit::removeTree(home_ + "/.Ovan");
    ASSERT_FALSE(testkit::exists(target_) || testkit::exists(home_ + "/.Ovan"));
    ASSERT_EQ(system(("cp -a '" + root_ + "/pristine' '" + target_ + "'").c_str()), 0);
    const pid_t child = spawn({"usecwd", "-S", "--target=" + target_}, false, "k");
    ASSERT_TRUE(wait_for_lock(target_, child)) << read_file(root_ + "/errk");
    // Spread over the run by its progress, not by the clock (a machine that
    // is busy at one moment would move the moments past the end): at the
    // start, after every 270th entry reported, and after the last one.
    ASSERT_TRUE(wait_for_lines(root_ + "/outk", moment == 11 ? 3000 : moment * 270, child));
    kill(child, SIGKILL);
    finish(child, "k");
    // The next start, with no kit to install: only the recovery runs.
    ASSERT_EQ(rename(kit.c_str(), away.c_str()), 0);
    const Result next = run({"usecwd", "-S", "--target=" + target_}, false);
    ASSERT_EQ(rename(away.c_str(), kit.c_str()), 0);
    EXPECT_EQ(next.status, 1) << next.err;
    const std::map<std::string, std::string> now = snapshot(target());
    if (without_folder_times(now) == without_folder_times(installed)) {
      ++committed;
    } else {
      EXPECT_EQ(differences(before, now), "");
      ++restored;
    }
    EXPECT_EQ(left_in_tmp(), 0) << "left in TMPDIR";
  }
  EXPECT_GT(restored, 5);
  // A normal run then installs everything.
  ASSERT_EQ(run({"usecwd", "-S", "--target=" + target_}, false).status, 0);
  EXPECT_EQ(differences(without_folder_times(installed), without_folder_times(snapshot(target()))), "");
}

// A file in `dir` named after its own inode, as a wizard names the
// launcher file's replacement; its path.
std::string inode_named_file(const std::string& dir) {
  const std::string made = dir + "/made";
  std::ofstream(made) << "left";
  struct stat status;
  if (stat(made.c_str(), &status) != 0) return made;
  char name[32];
  snprintf(name, sizeof name, "/.ovst%llx", static_cast<unsigned long long>(status.st_ino));
  return rename(made.c_str(), (dir + name).c_str()) == 0 ? dir + name : made;
}

TEST_F(SetupE2eTest, LeftoversOfEndedWizardsGoAtStartThoseOfARunningOneAndOthersFilesStay) {
  writeSampleKit();
  const std::string config = home_ + "/.Ovan/ovanstart";
  ASSERT_TRUE(testkit::makeDirs(config));
  ASSERT_EQ(mkdir(privateTmp().c_str(), 0700), 0);
  // Left by ended wizards: a container and a replacement of the launcher's
  // file. A running wizard's are locked.
  // Made as the wizard makes them: the user's own, 0600.
  for (const std::string& name : {privateTmp() + "/odkAb12Cd", privateTmp() + "/odkZZZZZZ"}) {
    std::ofstream(name) << "left";
    chmod(name.c_str(), 0600);
  }
  const int liveFile = open((privateTmp() + "/odkZZZZZZ").c_str(), O_RDONLY);
  ASSERT_EQ(flock(liveFile, LOCK_EX), 0);
  const std::string ended = inode_named_file(config), running = inode_named_file(config);
  const int liveReplacement = open(running.c_str(), O_RDONLY);
  ASSERT_EQ(flock(liveReplacement, LOCK_EX), 0);
  // The user's and other programs' files of such names, and backup folders
  // of older wizards in TMPDIR: none of them is the clean-up's.
  ASSERT_EQ(system(("mkdir -p '" + tmp_ + "/n8stp0/forms' '" + tmp_ + "/n8stp1'").c_str()), 0);
  for (const std::string& name : {tmp_ + "/odkAb12Cd", tmp_ + "/odkreport", config + "/.ovstQ1w2E3",
                                  config + "/.ovst12345", tmp_ + "/odk-other-program"})
    std::ofstream(name) << "someone's";
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(testkit::entryNames(privateTmp()), std::vector<std::string>{"odkZZZZZZ"});
  EXPECT_EQ(count_entries(tmp_), 6);
  for (const std::string& name : {tmp_ + "/odkAb12Cd", tmp_ + "/odkreport", config + "/.ovstQ1w2E3",
                                  config + "/.ovst12345", tmp_ + "/odk-other-program"})
    EXPECT_EQ(read_file(name), "someone's") << name;
  EXPECT_TRUE(testkit::isDir(tmp_ + "/n8stp0/forms"));
  EXPECT_FALSE(testkit::exists(ended));
  EXPECT_EQ(read_file(running), "left");
  EXPECT_EQ(count_entries(config), 4);  // with the launcher's file
  close(liveFile);
  close(liveReplacement);
}

// The template directory is the temporary directory, and holds an entry
// named like a container and a user's file of such a name.
TEST_F(SetupE2eTest, AKitEntryAndAUsersFileNamedLikeAContainerSurviveARunAndTheNextStart) {
  ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd",
                               {{u"odkreport", "the vendor's report", config::fileTimeFromUnix(1500000000, 0)}}));
  std::ofstream(tmp_ + "/odkABCDEF") << "the user's";
  target_ = tmp_ + "/";
  const Result result = run({"usecwd", "-S", "--target=" + tmp_}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(tmp_ + "/odkreport"), "the vendor's report");
  EXPECT_EQ(read_file(tmp_ + "/odkABCDEF"), "the user's");
  const Result next = run({"usecwd", "-S", "--target=" + root_ + "/elsewhere"}, false);
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_EQ(read_file(tmp_ + "/odkreport"), "the vendor's report");
  EXPECT_EQ(read_file(tmp_ + "/odkABCDEF"), "the user's");
  EXPECT_EQ(left_in_tmp(), 3);  // the two files and the installation record's folder
}

// Another user made the private folder's name first, or put a link there:
// the run uses a folder of its own and touches neither.
TEST_F(SetupE2eTest, APrivateFolderNameTakenByAnotherOwnerOrALinkIsLeftAlone) {
  writeSampleKit();
  const std::string lure = root_ + "/lure";
  ASSERT_EQ(mkdir(lure.c_str(), 0700), 0);
  for (bool link : {false, true}) {
    SCOPED_TRACE(link ? "link" : "another owner");
    testkit::removeTree(privateTmp());
    if (link) {
      ASSERT_EQ(symlink(lure.c_str(), privateTmp().c_str()), 0);
    } else {
      ASSERT_EQ(mkdir(privateTmp().c_str(), 0700), 0);
      std::ofstream(privateTmp() + "/odkAAAAAA") << "the other owner's";
      ASSERT_EQ(chown((privateTmp() + "/odkAAAAAA").c_str(), 4321, 4321), 0);
      ASSERT_EQ(chown(privateTmp().c_str(), 4321, 4321), 0);
    }
    // What is in TMPDIR; TMPDIR's own time changes with the run's folder.
    auto inside = [&] {
      std::map<std::string, std::string> nodes = snapshot(tmp_);
      nodes.erase(".");
      return nodes;
    };
    const std::map<std::string, std::string> before = inside();
    testkit::CreationWatch inTmp(tmp_), inTaken(link ? lure : privateTmp());
    ASSERT_TRUE(inTmp.ok() && inTaken.ok());
    // With the start-up clean-up and the next start's: every use is checked.
    const Result result = run({"usecwd", "-S", "--target=" + root_ + "/t" + (link ? "1" : "2")}, false);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(inTaken.names().empty());
    // One folder of the run's own, gone again at its end (the backup
    // folder and its journal come and go beside it).
    std::vector<std::string> made;
    for (const std::string& name : inTmp.names())
      if (name.compare(0, 5, "ovn8-") == 0) made.push_back(name);
    const std::string prefix = "ovn8-" + std::to_string(geteuid()) + "-";
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].substr(0, prefix.size()), prefix);
    EXPECT_EQ(made[0].size(), prefix.size() + 6);
    EXPECT_EQ(differences(before, inside()), "");
  }
}

// The launcher's list names a writable directory, which the start probes;
// the run installs elsewhere and is killed there. No name ever appeared in
// the probed directory, so no kill at any moment can leave a probe in it.
TEST_F(SetupE2eTest, AKilledRunLeavesNoProbeInTheDirectoriesItLookedAt) {
  writeSampleKit(kSpacer);
  const std::string probed = root_ + "/listed";
  ASSERT_EQ(mkdir(probed.c_str(), 0755), 0);
  struct timespec old[2] = {{1500000000, 0}, {1500000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, probed.c_str(), old, 0), 0);
  ASSERT_TRUE(testkit::makeDirs(home_ + "/.Ovan/ovanstart"));
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << probed << "\n";
  testkit::CreationWatch watch(probed);
  ASSERT_TRUE(watch.ok());
  const std::string elsewhere = root_ + "/elsewhere/";
  const pid_t child = spawn({"usecwd", "-S", "--target=" + elsewhere}, false);
  ASSERT_TRUE(wait_for_lock(elsewhere, child));
  kill(child, SIGKILL);
  EXPECT_EQ(finish(child).status, 1000 + SIGKILL);
  EXPECT_TRUE(watch.names().empty());
  EXPECT_EQ(count_entries(probed), 0);
  EXPECT_EQ(testkit::modificationTime(probed), 1500000000);
}

// ---- Names that are no plain text ----

// A folder name with a line feed and an escape sequence: every per-file
// line, the summary and the log show it escaped, on one line each.
TEST_F(SetupE2eTest, ATargetNameWithALineFeedAndAnEscapeSequenceIsPrintedEscaped) {
  writeSampleKit();
  const std::string dir = root_ + "/new\nline\x1b[31mred\\and more";
  const std::string shown = root_ + "/new\\nline\\x1b[31mred\\\\and more/";
  const std::string log = root_ + "/run.log";
  const Result result = run({"usecwd", "-S", "--target=" + dir, "--log=" + log}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(dir + "/readme.html"), "<html>read me</html>");
  EXPECT_EQ(result.out, "  0% " + shown + "forms/invoice.tpl\n" +
                            " 33% " + shown + "forms/deep/letter.tpl\n" +
                            " 66% " + shown + "readme.html\n" +
                            "Configuration installed successfully. Template directory: " +
                            shown.substr(0, shown.size() - 1) +
                            "; Files installed: 3; Older copies replaced: 0; Newer existing files kept: 0\n");
  EXPECT_EQ(result.err, "");
  const std::string text = read_file(log);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  const std::vector<std::string> events = log_events(text);
  for (const char* name : {"forms/invoice.tpl", "forms/deep/letter.tpl", "readme.html"})
    EXPECT_EQ(count_of(events, "installed " + shown + name), 1) << name;
  EXPECT_EQ(outcome_of(events.back()), "end: exit status 0, installed");
}

// Bytes that are no text in the locale cannot name the directory to
// install into; the wizard says so, escaped, and installs nowhere else.
TEST_F(SetupE2eTest, ATargetThatIsNoTextInTheLocaleEndsWithStatusOne) {
  writeSampleKit();
  const Result result = run({"usecwd", "-S", "--target=" + root_ + "/bad\xff\x1b"}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ovn8setup: The template directory's name is not valid in the character set of the "
                        "locale: " + root_ + "/bad\\xff\\x1b\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(access(target().c_str(), F_OK), -1);
  EXPECT_EQ(count_entries(root_), 5);  // home, tmp, kit and the outputs
}

// An entry name with a control character is a damaged kit; the box does
// not name it (the log names it by its number only).
TEST_F(SetupE2eTest, AKitEntryNamedWithAnEscapeSequenceIsADamagedKit) {
  writeThreeEntryKit(u"a.tpl", u"b.tpl", u"forms\\\x1b]0;owned\x07.tpl\n100% /etc/passwd");
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Installing configuration: Distribution kit file ovn8.okd corrupted or not designed for this "
            "installation program. The kit holds a file name that cannot be installed.\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(access(target().c_str(), F_OK), -1);
  EXPECT_EQ(left_in_tmp(), 0);
}

int64_t inode_of(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? int64_t(status.st_ino) : -1;
}

// A kit whose second entry lies 40,000 folders deep: refused when the kit
// is opened, before the first entry has replaced anything.
TEST_F(SetupE2eTest, FortyThousandLevelNameEndsAtOnceAndReplacesNothing) {
  std::u16string deep;
  for (int i = 0; i < 40000; ++i) deep += u"a\\";
  const std::string container = config::ContainerBuilder()
                                    .u32(0).u32(0).u32(0).u32(0).u32(2)
                                    .entryRecord(u"first.txt", config::fileTimeFromUnix(1500000000, 0), 0, 3)
                                    .entryRecord(deep + u"f", config::fileTimeFromUnix(1500000000, 0), 0, 3)
                                    .raw("new")
                                    .bytes();
  ASSERT_TRUE(config::writeContainerAsKit(kitDir_ + "/ovn8.okd", container));
  ASSERT_EQ(system(("mkdir -p '" + target() + "'").c_str()), 0);
  ASSERT_TRUE(config::writeFileBytes(target() + "first.txt", "original"));
  ASSERT_EQ(system(("touch -d 2001-01-01 '" + target() + "first.txt'").c_str()), 0);
  const Result result = finish(spawn({"usecwd", "-S"}, false, "", 20));
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(read_file(target() + "first.txt"), "original");
  EXPECT_EQ(count_entries(target()), 1);
  EXPECT_EQ(left_in_tmp(), 0);
}

// 20,000 values of the template key: read and rewritten with every other key
// kept, in bounded time (a reader comparing each line with all before it
// took 104 s for this file).
TEST_F(SetupE2eTest, LargeLauncherFileIsReadAndRewrittenWhole) {
  writeSampleKit();
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  std::string text = "DefaultVersion=8.3\n";
  for (int i = 0; i < 20000; ++i)
    text += "ConfigurationTemplatesLocation=" + root_ + "/missing/templates/" + std::to_string(i) + "\n";
  text += "InstalledLocation=/opt/launcher\n";
  ASSERT_TRUE(config::writeFileBytes(configPath(), text));
  // The first listed directory is proposed and installed into; it is
  // already at the head of the list, so the file comes back unchanged.
  target_ = root_ + "/missing/templates/0/";
  const Result result = finish(spawn({"usecwd", "-S"}, false, "", 300));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(target() + "readme.html"), "<html>read me</html>");
  const std::string written = read_file(configPath());
  EXPECT_EQ(written.size(), text.size());
  EXPECT_TRUE(written == text);
}

// A FIFO or a device where a file is read must neither block the run nor be
// replaced: the kit counts as damaged, the launcher file as unreadable.
TEST_F(SetupE2eTest, FifosAndDevicesNeitherBlockNorGetOverwritten) {
  ASSERT_EQ(mkfifo((kitDir_ + "/ovn8.okd").c_str(), 0644), 0);
  Result result = finish(spawn({"usecwd", "-S"}, false, "", 20));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("corrupted"), std::string::npos) << result.err;
  unlink((kitDir_ + "/ovn8.okd").c_str());
  ASSERT_EQ(symlink("/dev/zero", (kitDir_ + "/ovn8.okd").c_str()), 0);
  result = finish(spawn({"usecwd", "-S"}, false, "", 20));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("corrupted"), std::string::npos) << result.err;
  unlink((kitDir_ + "/ovn8.okd").c_str());
  // A dangling link is a missing kit.
  ASSERT_EQ(symlink((root_ + "/gone.okd").c_str(), (kitDir_ + "/ovn8.okd").c_str()), 0);
  result = finish(spawn({"usecwd", "-S"}, false, "", 20));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, noKit());
  unlink((kitDir_ + "/ovn8.okd").c_str());
  EXPECT_EQ(left_in_tmp(), 0);

  writeSampleKit();
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  ASSERT_EQ(mkfifo(configPath().c_str(), 0644), 0);
  // Installed, with the warning that the launcher's file was not updated.
  result = finish(spawn({"usecwd", "-S"}, false, "", 20));
  EXPECT_EQ(result.status, 4) << result.err;
  EXPECT_EQ(read_file(target() + "readme.html"), "<html>read me</html>");
  struct stat status;
  ASSERT_EQ(lstat(configPath().c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  unlink(configPath().c_str());
  ASSERT_EQ(symlink("/dev/zero", configPath().c_str()), 0);
  result = finish(spawn({"usecwd", "-S"}, false, "", 20));
  EXPECT_EQ(result.status, 4) << result.err;
  ASSERT_EQ(lstat(configPath().c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

// Interrupted while the first entry is written, with only entries left that
// are up to date: the run must still roll back and end as cancelled.
TEST_F(SetupE2eTest, CancelWithOnlySkippedEntriesLeftEndsWithThreeAndKeepsNothing) {
  config::KitSpec spec;
  spec.descriptions = {{u"en", u"Sample", u"Vendor", u"readme.html"}};
  const std::u16string big = u"big.bin";
  spec.files.emplace_back(big, std::string(64 << 20, 'z'), config::fileTimeFromUnix(1500000000, 0));
  for (int i = 0; i < 200; ++i) {
    const std::u16string name = u"up\\to\\date" + std::u16string(1, char16_t(u'A' + i % 26)) + u"_" +
                                utf8_to_utf16(std::to_string(i));
    spec.files.emplace_back(name, "old", config::fileTimeFromUnix(1400000000, 0));
  }
  ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd", spec));
  ASSERT_EQ(system(("mkdir -p '" + target() + "up/to'").c_str()), 0);
  for (size_t i = 1; i < spec.files.size(); ++i) {
    std::u16string name = spec.files[i].name;
    replace_all(name, kBadPathSeparator, kPathSeparator);
    ASSERT_TRUE(config::writeFileBytes(target() + utf16_to_utf8(name), "newer"));
  }
  const pid_t child = spawn({"usecwd", "-S"}, false, "", 120);
  // Wait until the big file is being written (under its temporary name
  // beside its place), then interrupt.
  auto writing = [&] {
    bool found = false;
    if (DIR* stream = opendir(target().c_str())) {
      while (dirent* entry = readdir(stream))
        found = found || std::string(entry->d_name).compare(0, 6, ".n8new") == 0;
      closedir(stream);
    }
    return found;
  };
  for (int i = 0; i < 60000 && !writing(); ++i) usleep(1000);
  kill(child, SIGINT);
  const Result result = finish(child);
  EXPECT_EQ(result.status, 1000 + SIGINT) << result.out << result.err;
  EXPECT_EQ(access((target() + "big.bin").c_str(), F_OK), -1);
  EXPECT_FALSE(writing());
  EXPECT_EQ(read_file(target() + "up/to/dateA_0"), "newer");
  EXPECT_EQ(access(configPath().c_str(), F_OK), -1);
  EXPECT_EQ(left_in_tmp(), 0);
}

// A leading backslash, a "." part and a doubled separator add nothing to
// the place a file goes.
TEST_F(SetupE2eTest, NamesWithExtraSeparatorsInstallAtTheirPlaces) {
  writeThreeEntryKit(u"\\forms\\a.tpl", u".\\b.tpl", u"forms\\\\c.tpl");
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(target() + "forms/a.tpl"), "a");
  EXPECT_EQ(read_file(target() + "b.tpl"), "b");
  EXPECT_EQ(read_file(target() + "forms/c.tpl"), "c");
  EXPECT_EQ(count_entries(target()), 2);
  EXPECT_EQ(result.out, "  0% " + target() + "forms/a.tpl\n" + " 33% " + target() + "b.tpl\n" +
                            " 66% " + target() + "forms/c.tpl\n" +
                            "Configuration installed successfully. Template directory: " + target() +
                            "; Files installed: 3; Older copies replaced: 0; Newer existing files kept: 0\n");
}

// The launcher file is shared with other programs: a directory listed with
// and without its final separator keeps both lines.
TEST_F(SetupE2eTest, DirectoryWithAndWithoutFinalSeparatorBothSurviveARun) {
  writeSampleKit();
  mkdir((home_ + "/.Ovan").c_str(), 0755);
  mkdir((home_ + "/.Ovan/ovanstart").c_str(), 0755);
  const std::string lines = "ConfigurationTemplatesLocation=" + root_ + "/a/b\n" +
                            "ConfigurationTemplatesLocation=" + root_ + "/a/b/\n";
  ASSERT_TRUE(config::writeFileBytes(configPath(), lines));
  target_ = root_ + "/a/b/";
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(target() + "readme.html"), "<html>read me</html>");
  EXPECT_EQ(read_file(configPath()), lines);
}

// Files with fractions of a second, packed by okdpack: the second
// installation finds every file up to date and rewrites none.
TEST_F(SetupE2eTest, OkdpackKitInstalledTwiceRewritesNothing) {
  const char* build = getenv("OVN8_BUILD_DIR");
  const std::string okdpack = std::string(build ? build : ".") + "/okdpack";
  if (access(okdpack.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << okdpack;
  const std::string tree = root_ + "/tree";
  ASSERT_EQ(system(("mkdir -p '" + tree + "/forms' && echo one > '" + tree + "/forms/a.tpl' && echo two > '" +
                    tree + "/b.tpl' && touch -d '2020-01-01 10:00:00.75' '" + tree + "/forms/a.tpl' '" +
                    tree + "/b.tpl'")
                       .c_str()),
            0);
  ASSERT_EQ(system(("'" + okdpack + "' '" + tree + "' -o '" + kitDir_ + "/ovn8.okd' >/dev/null").c_str()), 0);
  Result result = run({"usecwd", "-S"}, false);
  ASSERT_EQ(result.status, 0) << result.err;
  const int64_t a = inode_of(target() + "forms/a.tpl"), b = inode_of(target() + "b.tpl");
  ASSERT_NE(a, -1);
  result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(inode_of(target() + "forms/a.tpl"), a);
  EXPECT_EQ(inode_of(target() + "b.tpl"), b);
  EXPECT_EQ(read_file(target() + "forms/a.tpl"), "one\n");
}

// A small tmpfs over a folder for as long as it lives.
struct SmallTmpfs {
  SmallTmpfs(const std::string& path, const std::string& size)
      : path(path), mounted(mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0) {}
  ~SmallTmpfs() {
    if (mounted) umount(path.c_str());
  }
  const std::string path;
  const bool mounted;
};

// A temporary directory that fills up while the kit is unpacked: the user
// hears about space, and no partial container stays behind.
// A kit that unpacks to more than the temporary directory holds: the
// container is kept in memory (it fits well within the free memory), so
// nothing of it goes to TMPDIR and the installation goes through.
TEST_F(SetupE2eTest, KitUnpackingToMoreThanTheTemporaryDirectoryHoldsIsKeptInMemory) {
  const SmallTmpfs small(tmp_, "512k");
  if (!small.mounted) GTEST_SKIP() << "cannot mount a small tmpfs";
  // Compresses to a few kilobytes, unpacks to 4 MB.
  ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd",
                               {{u"zeros.bin", std::string(4 << 20, '\0'), config::fileTimeFromUnix(1500000000, 0)}}));
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(target() + "zeros.bin"), std::string(4 << 20, '\0'));
  EXPECT_EQ(left_in_tmp(), 0);
}

// Too little room in the temporary directory for the unpacked kit: the box
// names the real temporary directory and the sizes, not a "Temp" folder.
TEST_F(SetupE2eTest, TooLittleTemporarySpaceNamesTheDirectoryAndTheSizes) {
  const SmallTmpfs small(tmp_, "64k");
  if (!small.mounted) GTEST_SKIP() << "cannot mount a small tmpfs";
  // Random bytes do not compress: the kit is about as large as its data.
  std::string noise(100 << 10, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = char(random());
  ASSERT_TRUE(config::writeKit(kitDir_ + "/ovn8.okd", {{u"noise.bin", noise, config::fileTimeFromUnix(1500000000, 0)}}));
  struct stat kit;
  ASSERT_EQ(stat((kitDir_ + "/ovn8.okd").c_str(), &kit), 0);
  const Result result = run({"usecwd", "-S"}, false);
  EXPECT_EQ(result.status, 1);
  const std::string told = "Installing configuration: Insufficient space available in the directory Temp. " + tmp_ +
                           " Needed: " + narrow_lib(sizeText(uint64_t(kit.st_size) * 3, true)) + ". Free: ";
  EXPECT_EQ(result.err.find(told), 0u) << result.err;
  EXPECT_EQ(access(target().c_str(), F_OK), -1);
}

TEST_F(SetupE2eTest, KitWithOneWrongChecksumIsDamagedAndNothingIsWritten) {
  config::KitSpec spec;
  spec.descriptions = {{u"en", u"Sample", u"Vendor", u""}};
  spec.files.emplace_back(u"forms\\invoice.tpl", "invoice body\n", config::fileTimeFromUnix(1500000000, 0));
  spec.files.emplace_back(u"readme.html", "<html>read me</html>", config::fileTimeFromUnix(1500000200, 0));
  std::string container;
  ASSERT_TRUE(config::buildContainer(spec, config::KitLayout(), container));
  const size_t at = container.find("read me");
  ASSERT_NE(at, std::string::npos);
  container[at] = 'R';  // inflates fine, only the sum tells
  ASSERT_TRUE(config::writeContainerAsKit(kitDir_ + "/ovn8.okd", container));
  const std::string log = root_ + "/run.log";
  const Result result = run({"usecwd", "-S", "--log=" + log}, false);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Installing configuration: Distribution kit file ovn8.okd corrupted or not designed for "
            "this installation program. The file readme.html in the kit is damaged.\n");
  EXPECT_EQ(left_in_tmp(), 0);
  EXPECT_EQ(access(target().c_str(), F_OK), -1);
  EXPECT_EQ(access(configPath().c_str(), F_OK), -1);
  const std::vector<std::string> events = log_events(read_file(log));
  EXPECT_EQ(count_of(events, "error " + kitDir_ + "/ovn8.okd: the kit is damaged: entry readme.html does not "
                                                  "match its checksum: invalid data (error 13)"),
            1)
      << read_file(log);
}

// With the alternate per-user file present, both per-user files get the
// directory first and each keeps its own entries.
TEST_F(SetupE2eTest, BothPerUserLauncherFilesKeepTheirOwnEntries) {
  writeSampleKit();
  const std::string alternate = home_ + "/.Ovan/ovanstartt/ovanstart.cfg";
  ASSERT_TRUE(testkit::makeDirs(home_ + "/.Ovan/ovanstart"));
  ASSERT_TRUE(testkit::makeDirs(home_ + "/.Ovan/ovanstartt"));
  std::ofstream(configPath()) << "ConfigurationTemplatesLocation=" << root_ << "/main-own\n";
  std::ofstream(alternate) << "ConfigurationTemplatesLocation=" << root_ << "/alternate-own\n";
  target_ = root_ + "/tmplts/";
  const Result result = run({"usecwd", "-S", "--target=" + target_}, false);
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string first = "ConfigurationTemplatesLocation=" + root_ + "/tmplts\n";
  const std::string main = read_file(configPath()), other = read_file(alternate);
  EXPECT_EQ(main.compare(0, first.size(), first), 0) << main;
  EXPECT_NE(main.find(root_ + "/main-own"), std::string::npos) << main;
  EXPECT_EQ(other.compare(0, first.size(), first), 0) << other;
  EXPECT_NE(other.find(root_ + "/alternate-own"), std::string::npos) << other;
}

}  // namespace
