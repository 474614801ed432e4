// Every option-scan and language-choice case of the start-up, without a
// display.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

// argv as main receives it: the program name first, a null entry last.
CommandLineOptions scan(std::initializer_list<const char*> args) {
  std::vector<const char*> argv = {"ovn8setup"};
  argv.insert(argv.end(), args.begin(), args.end());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  return parse_command_line(argc, argv.data());
}

void expect_defaults_except(const CommandLineOptions& o, bool cwd, bool silent) {
  EXPECT_EQ(o.useCurrentDirectory, cwd);
  EXPECT_EQ(o.silent, silent);
}

TEST(CommandLine, NoArguments) {
  const CommandLineOptions o = scan({});
  expect_defaults_except(o, false, false);
  EXPECT_EQ(o.language, LANG_NONE);
  EXPECT_EQ(o.languageCode, u"en");
  const char* only[] = {"ovn8setup", nullptr};
  EXPECT_FALSE(parse_command_line(1, only).useCurrentDirectory);
  EXPECT_FALSE(parse_command_line(0, nullptr).silent);
}

TEST(CommandLine, UsecwdThenSilent) {
  const CommandLineOptions o = scan({"usecwd", "-S"});
  expect_defaults_except(o, true, true);
  EXPECT_EQ(o.language, LANG_NONE);
}

TEST(CommandLine, SilentThenUsecwdIgnoresUsecwd) {
  expect_defaults_except(scan({"-S", "usecwd"}), false, true);
}

TEST(CommandLine, UsecwdAlone) {
  // argc is 2: "more than one argument" counts the program name.
  expect_defaults_except(scan({"usecwd"}), true, false);
}

TEST(CommandLine, UsecwdMustBeExact) {
  expect_defaults_except(scan({"USECWD", "-S"}), false, true);
  expect_defaults_except(scan({"usecwd2"}), false, false);
  expect_defaults_except(scan({"-usecwd"}), false, false);  // "-u": another letter
  expect_defaults_except(scan({"/usecwd"}), false, false);
}

TEST(CommandLine, UsecwdIsNotScannedAsAnOption) {
  // The scan starts behind "usecwd"; "/S" in its place would be seen.
  expect_defaults_except(scan({"usecwd", "/S"}), true, true);
  expect_defaults_except(scan({"/S", "usecwd"}), false, true);
}

TEST(CommandLine, UnknownLanguageStopsTheScan) {
  const CommandLineOptions o = scan({"-Lxx", "-S"});
  expect_defaults_except(o, false, false);  // the -S is not seen
  EXPECT_EQ(o.language, LANG_NONE);
  EXPECT_EQ(o.languageCode, u"en");
}

TEST(CommandLine, KnownLanguageStopsTheScanToo) {
  const CommandLineOptions o = scan({"-Lde", "-S", "-Lru"});
  EXPECT_FALSE(o.silent);
  EXPECT_EQ(o.language, LANG_DE);
  EXPECT_EQ(o.languageCode, u"de");
}

TEST(CommandLine, SilentThenGerman) {
  const CommandLineOptions o = scan({"-S", "-Lde"});
  expect_defaults_except(o, false, true);
  EXPECT_EQ(o.language, LANG_DE);
  EXPECT_EQ(o.languageCode, u"de");
}

TEST(CommandLine, SilentInEveryWriting) {
  for (const char* arg : {"-S", "-s", "/S", "/s", "-Silent", "/silent", "-SS"}) {
    EXPECT_TRUE(scan({arg}).silent) << arg;
  }
}

TEST(CommandLine, LanguageInEveryWriting) {
  for (const char* arg : {"-Lru", "-lru", "/Lru", "/lru"}) {
    const CommandLineOptions o = scan({arg});
    EXPECT_EQ(o.language, LANG_RU) << arg;
    EXPECT_EQ(o.languageCode, u"ru") << arg;
  }
}

TEST(CommandLine, EmptyLanguageCode) {
  const CommandLineOptions o = scan({"-L", "-S"});
  EXPECT_EQ(o.language, LANG_NONE);
  EXPECT_EQ(o.languageCode, u"en");
  EXPECT_FALSE(o.silent);  // the scan stopped at "-L" all the same
}

TEST(CommandLine, CodesAreComparedExactly) {
  for (const char* arg : {"-LDE", "-LDe", "-Lde_DE", "-Lgerman", "-L de", "-Ld"}) {
    const CommandLineOptions o = scan({arg});
    EXPECT_EQ(o.language, LANG_NONE) << arg;
    EXPECT_EQ(o.languageCode, u"en") << arg;
  }
}

TEST(CommandLine, OtherArgumentsAreIgnored) {
  const CommandLineOptions o =
      scan({"-X", "--sync", "--display=:1", "file", "-", "/", "", "S", "L", "\xD0\x94", "-S"});
  expect_defaults_except(o, false, true);
  EXPECT_EQ(o.language, LANG_NONE);
  // "--display" is "-" then "-": another letter, not a language switch.
  EXPECT_EQ(scan({"--Lde"}).language, LANG_NONE);
}

TEST(CommandLine, NullEntriesAreSkipped) {
  const char* argv[] = {"ovn8setup", nullptr, "-S", nullptr};
  EXPECT_TRUE(parse_command_line(3, argv).silent);
  const char* first[] = {"ovn8setup", nullptr, nullptr};
  EXPECT_FALSE(parse_command_line(2, first).useCurrentDirectory);
}

// ---- Language choice ----

TEST(CommandLine, LongOptionsAreReadEverywhereAndLeaveTheShortScanAlone) {
  CommandLineOptions o = scan({"usecwd", "-S", "--help", "--version", "-Lde", "--target=/t/x",
                               "--log=/var/log/setup.log"});
  expect_defaults_except(o, true, true);
  EXPECT_EQ(o.language, LANG_DE);
  EXPECT_TRUE(o.showHelp);
  EXPECT_TRUE(o.showVersion);
  EXPECT_EQ(o.target, "/t/x");
  EXPECT_EQ(o.logPath, "/var/log/setup.log");
  EXPECT_EQ(o.badOption, "");

  // Before them all: the same; the long options never stop the short scan.
  o = scan({"--target=/t", "--log", "run.log", "-s"});
  expect_defaults_except(o, false, true);
  EXPECT_EQ(o.target, "/t");
  EXPECT_EQ(o.logPath, "run.log");
  EXPECT_FALSE(o.showHelp);

  // "usecwd" stays the first argument only.
  o = scan({"--help", "usecwd"});
  expect_defaults_except(o, false, false);
  EXPECT_TRUE(o.showHelp);
}

TEST(CommandLine, ValueOfASeparateLongOptionIsNotAShortOption) {
  // "/Shared" would read as /S, "/Lists" as /L.
  CommandLineOptions o = scan({"--target", "/Shared/templates", "--log", "/Lists/run.log"});
  expect_defaults_except(o, false, false);
  EXPECT_EQ(o.language, LANG_NONE);
  EXPECT_EQ(o.target, "/Shared/templates");
  EXPECT_EQ(o.logPath, "/Lists/run.log");
  // Written with "=", the value is part of the option itself.
  o = scan({"--target=/Shared", "/S"});
  expect_defaults_except(o, false, true);
  EXPECT_EQ(o.target, "/Shared");
}

TEST(CommandLine, LongOptionsWithoutTheirValueAreBad) {
  EXPECT_EQ(scan({"--target="}).badOption, "--target");
  EXPECT_EQ(scan({"--target"}).badOption, "--target");
  EXPECT_EQ(scan({"--log="}).badOption, "--log");
  // A following option is not taken for the value.
  const CommandLineOptions o = scan({"--log", "-S", "--target", "--help"});
  EXPECT_EQ(o.badOption, "--log");  // the first one is named
  EXPECT_TRUE(o.silent);
  EXPECT_TRUE(o.showHelp);
  EXPECT_EQ(o.logPath, "");
  EXPECT_EQ(o.target, "");
}

TEST(CommandLine, KeyringsAddUpAndTheSignatureRuleIsAFlag) {
  CommandLineOptions o = scan({"--keyring=/srv/a.gpg", "-S", "--keyring", "b.gpg", "--require-signature",
                               "kit.okd"});
  EXPECT_EQ(o.keyrings, (std::vector<std::string>{"/srv/a.gpg", "b.gpg"}));
  EXPECT_TRUE(o.requireSignature);
  EXPECT_TRUE(o.silent);
  EXPECT_EQ(o.kitPath, "kit.okd");  // "b.gpg" was the keyring's, not a kit
  EXPECT_EQ(o.unknownArgument, "");
  o = scan({"--keyring=", "--require-signatures"});
  EXPECT_EQ(o.badOption, "--keyring");
  EXPECT_TRUE(o.keyrings.empty());
  EXPECT_FALSE(o.requireSignature);
  EXPECT_EQ(o.unknownArgument, "--require-signatures");
}

TEST(CommandLine, OtherLongOptionsAreTheToolkitsAndIgnored) {
  const CommandLineOptions o =
      scan({"--display=:7", "--sync", "--targets=/x", "--logfile=y", "--", "--helpme", "--Help"});
  expect_defaults_except(o, false, false);
  EXPECT_FALSE(o.showHelp);
  EXPECT_FALSE(o.showVersion);
  EXPECT_EQ(o.target, "");
  EXPECT_EQ(o.logPath, "");
  EXPECT_EQ(o.badOption, "");
}

LanguageChoice choose(std::initializer_list<const char*> args, const char* locale) {
  return choose_language(scan(args), locale);
}

TEST(LanguageChoice, OptionWinsOverLocale) {
  const LanguageChoice c = choose({"-Lde"}, "ru_RU.UTF-8");
  EXPECT_EQ(c.language, LANG_DE);
  EXPECT_EQ(c.languageCode, u"de");
}

TEST(LanguageChoice, LocaleWhenNoOption) {
  const LanguageChoice c = choose({}, "de_DE.UTF-8");
  EXPECT_EQ(c.language, LANG_DE);
  EXPECT_EQ(c.languageCode, u"de");
  const LanguageChoice ru = choose({"-S"}, "ru");
  EXPECT_EQ(ru.language, LANG_RU);
  EXPECT_EQ(ru.languageCode, u"ru");
  EXPECT_EQ(choose({}, "tr_TR").language, LANG_TR);
}

TEST(LanguageChoice, LocaleWhenTheCodeIsUnknown) {
  for (const char* arg : {"-Lxx", "-L", "-LDE"}) {
    const LanguageChoice c = choose({arg, "-S"}, "uk_UA.UTF-8");
    EXPECT_EQ(c.language, LANG_UK) << arg;
    EXPECT_EQ(c.languageCode, u"uk") << arg;
  }
}

TEST(LanguageChoice, EnglishForLocalesNotInTheTable) {
  for (const char* locale : {"C", "POSIX", "C.UTF-8", "", "e", "xx_YY.UTF-8", "EN_us",
                             "LC_CTYPE=de_DE.UTF-8;LC_NUMERIC=C"}) {
    const LanguageChoice c = choose({}, locale);
    EXPECT_EQ(c.language, LANG_EN) << locale;
    EXPECT_EQ(c.languageCode, u"en") << locale;
  }
  const LanguageChoice none = choose({}, nullptr);  // setlocale returned nothing
  EXPECT_EQ(none.language, LANG_EN);
  EXPECT_EQ(none.languageCode, u"en");
}

TEST(LanguageChoice, EnglishLocaleGivesEnglish) {
  const LanguageChoice c = choose({}, "en_GB.UTF-8");
  EXPECT_EQ(c.language, LANG_EN);
  EXPECT_EQ(c.languageCode, u"en");
}

TEST(LanguageChoice, UnknownOptionAndCLocale) {
  const LanguageChoice c = choose({"-Lxx", "-S"}, "C");
  EXPECT_EQ(c.language, LANG_EN);
  EXPECT_EQ(c.languageCode, u"en");
}

}  // namespace
