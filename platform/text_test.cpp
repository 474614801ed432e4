#include "platform/text.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system_test_util.h"

namespace {

// U+1F600 (grinning face) and U+20000 (CJK Extension B), in UTF-8 and UTF-16.
const char kSmileUtf8[] = "\xF0\x9F\x98\x80";
const char16_t kSmileUtf16[] = u"\U0001F600";
const char kExtBUtf8[] = "\xF0\xA0\x80\x80";
const char16_t kExtBUtf16[] = u"\U00020000";

using fs_test::EnvGuard;
using fs_test::ScratchDir;

// ---- Conversions ----

TEST(TextConversion, CyrillicRoundTrip) {
  const std::string bytes = "\xD0\x94\xD0\xB0\xD0\xBB\xD0\xB5\xD0\xB5 >";  // "Далее >"
  const std::u16string wide = widen_lib(bytes);
  EXPECT_EQ(wide.size(), 7u);
  EXPECT_EQ(wide, u"Далее >");
  EXPECT_EQ(narrow_lib(wide), bytes);
}

TEST(TextConversion, EmptyAndAscii) {
  EXPECT_EQ(widen_lib(""), u"");
  EXPECT_EQ(narrow_lib(u""), "");
  EXPECT_EQ(widen_lib("ovn8.okd"), u"ovn8.okd");
  EXPECT_EQ(narrow_lib(u"ovn8.okd"), "ovn8.okd");
}

TEST(TextConversion, NonBmpRoundTripThroughLibFunctions) {
  const std::string bytes = std::string("a") + kSmileUtf8 + "/" + kExtBUtf8 + ".txt";
  const std::u16string wide = widen_lib(bytes);
  const std::u16string expected = std::u16string(u"a") + kSmileUtf16 + u"/" + kExtBUtf16 + u".txt";
  ASSERT_EQ(wide, expected);
  EXPECT_EQ(wide.size(), 1u + 2u + 1u + 2u + 4u);  // each non-BMP character is a pair
  EXPECT_EQ(wide[1], 0xD83D);
  EXPECT_EQ(wide[2], 0xDE00);
  EXPECT_EQ(wide[4], 0xD840);
  EXPECT_EQ(wide[5], 0xDC00);
  EXPECT_EQ(narrow_lib(wide), bytes);
}

TEST(TextConversion, WideCharToMultiByteSizesAndBuffers) {
  const std::u16string wide = std::u16string(kSmileUtf16) + u"x" + kExtBUtf16;
  const int len = static_cast<int>(wide.size());
  // Size query without a destination.
  EXPECT_EQ(WideCharToMultiByte(0, 0, wide.c_str(), len, nullptr, 0, nullptr, nullptr), 9);

  char big[16];
  memset(big, 'Z', sizeof big);
  EXPECT_EQ(WideCharToMultiByte(0, 0, wide.c_str(), len, big, sizeof big, nullptr, nullptr), 9);
  EXPECT_EQ(std::string(big, 9), std::string(kSmileUtf8) + "x" + kExtBUtf8);
  for (size_t i = 9; i < sizeof big; ++i) EXPECT_EQ(big[i], 0) << i;  // zero-filled

  // A too small destination gets as many bytes as fit; the result still
  // tells the whole size.
  char small[6];
  memset(small, 'Z', sizeof small);
  EXPECT_EQ(WideCharToMultiByte(0, 0, wide.c_str(), len, small, sizeof small, nullptr, nullptr), 9);
  EXPECT_EQ(std::string(small, 6), std::string(kSmileUtf8) + "x" + kExtBUtf8[0]);

  // Result 0: the destination is not touched.
  char untouched[4] = {'Z', 'Z', 'Z', 'Z'};
  EXPECT_EQ(WideCharToMultiByte(0, 0, u"", 0, untouched, 4, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(untouched, 4), "ZZZZ");

  // The conversion ends at a zero unit; a negative length means "to the end".
  const char16_t withZero[] = {u'a', u'b', 0, u'c', 0};
  EXPECT_EQ(WideCharToMultiByte(0, 0, withZero, 4, nullptr, 0, nullptr, nullptr), 2);
  EXPECT_EQ(WideCharToMultiByte(0, 0, u"abc", -1, nullptr, 0, nullptr, nullptr), 3);
  EXPECT_EQ(WideCharToMultiByte(0, 0, nullptr, 0, nullptr, 0, nullptr, nullptr), -1);
}

TEST(TextConversion, LoneSurrogatesFail) {
  const char16_t loneHigh[] = {u'a', 0xD83D, 0};
  const char16_t loneLow[] = {u'a', 0xDE00, u'b', 0};
  const char16_t reversed[] = {0xDE00, 0xD83D, 0};
  const char16_t highThenAscii[] = {0xD83D, u'x', 0};
  for (const char16_t* src : {loneHigh, loneLow, reversed, highThenAscii}) {
    const int len = static_cast<int>(std::char_traits<char16_t>::length(src));
    char out[8];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(0, 0, src, len, out, sizeof out, nullptr, nullptr), -1);
    EXPECT_EQ(narrow_lib(std::u16string(src)), "");
  }
  // A pair cut by the length is a lone surrogate too.
  EXPECT_EQ(WideCharToMultiByte(0, 0, kSmileUtf16, 1, nullptr, 0, nullptr, nullptr), -1);
  // The destination is zeroed and holds what came before the bad unit.
  char out[8];
  memset(out, 'Z', sizeof out);
  EXPECT_EQ(WideCharToMultiByte(0, 0, loneHigh, 2, out, sizeof out, nullptr, nullptr), -1);
  EXPECT_EQ(std::string(out, sizeof out), std::string("a\0\0\0\0\0\0\0", 8));
}

TEST(TextConversion, MultiByteToWideCharSizesAndBuffers) {
  const std::string bytes = std::string(kExtBUtf8) + "y" + kSmileUtf8;
  // The source length does not limit the conversion.
  EXPECT_EQ(MultiByteToWideChar(0, 0, bytes.c_str(), 1, nullptr, 0), 5);

  char16_t big[8];
  std::fill(big, big + 8, u'Z');
  EXPECT_EQ(MultiByteToWideChar(0, 0, bytes.c_str(), -1, big, 8), 5);
  EXPECT_EQ(std::u16string(big, 5), std::u16string(kExtBUtf16) + u"y" + kSmileUtf16);
  EXPECT_EQ(big[5], u'Z');  // no terminator is written

  // A capacity of 1 stores only the first unit (the high surrogate).
  char16_t one[2] = {u'Z', u'Z'};
  EXPECT_EQ(MultiByteToWideChar(0, 0, bytes.c_str(), -1, one, 1), 5);
  EXPECT_EQ(one[0], 0xD840);
  EXPECT_EQ(one[1], u'Z');

  EXPECT_EQ(MultiByteToWideChar(0, 0, "", 0, big, 8), 0);
  EXPECT_EQ(MultiByteToWideChar(0, 0, nullptr, 0, big, 8), -1);
}

TEST(TextConversion, InvalidBytesFail) {
  const char* invalid[] = {
      "\xFF",              // never valid in UTF-8
      "ab\xC3",            // truncated sequence
      "\xC3(",             // bad continuation byte
      "\xC0\x80",          // overlong NUL
      "\xED\xA0\x80",      // an encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF0\x9F\x98",      // truncated 4-byte sequence
  };
  for (const char* src : invalid) {
    char16_t out[8];
    std::fill(out, out + 8, u'Z');
    EXPECT_EQ(MultiByteToWideChar(0, 0, src, -1, out, 8), -1) << src;
    EXPECT_EQ(out[0], u'Z') << "nothing is stored";
    EXPECT_EQ(widen_lib(src), u"") << src;
  }
}

TEST(TextConversion, EmbeddedZeroEndsTheText) {
  EXPECT_EQ(widen_lib(std::string("ab\0cd", 5)), u"ab");
  EXPECT_EQ(narrow_lib(std::u16string(u"ab\0cd", 5)), "ab");
}

TEST(TextConversion, LeavesProcessAndThreadLocaleAlone) {
  const std::string before = setlocale(LC_ALL, nullptr);
  const locale_t threadBefore = uselocale((locale_t)0);
  widen_lib("\xD0\x94");
  narrow_lib(u"Д");
  EXPECT_EQ(before, setlocale(LC_ALL, nullptr));
  EXPECT_EQ(threadBefore, uselocale((locale_t)0));
}

TEST(TextConversion, InitLocaleIsRepeatableAndUtf8) {
  init_locale_from_environment();
  init_locale_from_environment();
  EXPECT_EQ(narrow_lib(widen_lib(kSmileUtf8)), kSmileUtf8);
}

TEST(TextConversion, TwoThreadsConvertAtOnce) {
  const std::vector<std::string> texts = {
      "\xD0\x94\xD0\xB0\xD0\xBB\xD0\xB5\xD0\xB5 >",
      std::string("file-") + kSmileUtf8 + kExtBUtf8 + ".txt",
      "plain ascii text",
      "\xE1\x83\xA3\xE1\x83\x99\xE1\x83\x90\xE1\x83\x9C",  // Georgian
  };
  std::vector<std::u16string> expected;
  for (const std::string& t : texts) expected.push_back(utf8_to_utf16(t));

  auto work = [&](int offset, int* failures) {
    for (int i = 0; i < 3000; ++i) {
      const size_t k = static_cast<size_t>(i + offset) % texts.size();
      const std::u16string wide = widen_lib(texts[k]);
      if (wide != expected[k] || narrow_lib(wide) != texts[k]) ++*failures;
      char buffer[64];
      if (WideCharToMultiByte(0, 0, expected[k].c_str(), static_cast<int>(expected[k].size()),
                              buffer, sizeof buffer, nullptr, nullptr) !=
          static_cast<int>(texts[k].size())) {
        ++*failures;
      }
      char16_t units[64];
      if (MultiByteToWideChar(0, 0, texts[k].c_str(), -1, units, 64) !=
          static_cast<int>(expected[k].size())) {
        ++*failures;
      }
    }
  };
  int failuresA = 0;
  int failuresB = 0;
  std::thread a(work, 0, &failuresA);
  std::thread b(work, 1, &failuresB);
  a.join();
  b.join();
  EXPECT_EQ(failuresA, 0);
  EXPECT_EQ(failuresB, 0);
}

TEST(TextConversion, Utf8LiteralHelpers) {
  EXPECT_EQ(utf8_to_utf16(std::string("\xD0\x94") + kSmileUtf8), std::u16string(u"Д") + kSmileUtf16);
  EXPECT_EQ(utf16_to_utf8(std::u16string(u"Д") + kExtBUtf16), std::string("\xD0\x94") + kExtBUtf8);
  EXPECT_EQ(utf8_to_utf16("\xFF"), u"\xFFFD");
}

// ---- Printable text ----

TEST(TextPrintable, ControlsInvalidBytesAndBackslashesAreEscapedAndNothingElse) {
  // Printable ASCII and other languages pass unchanged.
  EXPECT_EQ("/home/u/Шаблоны ÷ 表 " + std::string(kSmileUtf8), printable("/home/u/Шаблоны ÷ 表 " + std::string(kSmileUtf8)));
  // A backslash is doubled: a hand-typed "\n" stays apart from a line feed.
  EXPECT_EQ("a\\\\nb", printable("a\\nb"));
  EXPECT_EQ("line\\nforged\\r\\ttab", printable("line\nforged\r\ttab"));
  EXPECT_EQ("\\x1b[31mred\\x07\\x00\\x7f", printable(std::string("\x1b[31mred\x07\0\x7f", 11)));
  // C1 controls: U+0085 (next line) and U+009B (the one-byte CSI).
  EXPECT_EQ("a\\u0085b\\u009b", printable("a\xc2\x85" "b\xc2\x9b"));
  EXPECT_EQ("\xc2\xa0", printable("\xc2\xa0"));  // U+00A0 is printable
  // Bytes that are no UTF-8: stray, cut, overlong, a surrogate, too large.
  EXPECT_EQ("\\xff\\x80", printable("\xff\x80"));
  EXPECT_EQ("a\\xd0", printable("a\xd0"));
  EXPECT_EQ("\\xc0\\xaf", printable("\xc0\xaf"));
  EXPECT_EQ("\\xed\\xa0\\x80", printable("\xed\xa0\x80"));
  EXPECT_EQ("\\xf4\\x90\\x80\\x80", printable("\xf4\x90\x80\x80"));
  EXPECT_EQ("\\xe2\\x82x", printable("\xe2\x82x"));
  // Kept backslashes: text whose names were escaped already.
  EXPECT_EQ("C:\\new \\x1b", printable("C:\\new \x1b", Backslash::kKept));
  EXPECT_EQ("", printable(std::string()));
}

TEST(TextPrintable, WideTextEscapesTheSameAndLoneSurrogates) {
  EXPECT_EQ(u"/srv/Шаблоны/" + std::u16string(kSmileUtf16), printable(u"/srv/Шаблоны/" + std::u16string(kSmileUtf16)));
  EXPECT_EQ(u"a\\n\\x1b[1m\\\\\\u0085", printable(u"a\n\x1b[1m\\\x85"));
  EXPECT_EQ(u"x\\ud800y\\udc00", printable(std::u16string(u"x\xd800y\xdc00")));
  // The escapes of both forms agree, so a name prints the same either way.
  const std::u16string name = u"forms/\x1b]0;title\x07\x9b.tpl\\";
  EXPECT_EQ(narrow_lib(printable(name)), printable(narrow_lib(name)));
}

// ---- Integers ----

TEST(TextIntegers, Ito) {
  EXPECT_EQ(string_ito(-15, 10), u"-15");
  EXPECT_EQ(string_ito(255, 16), u"ff");
  EXPECT_EQ(string_ito(0, 10), u"0");
  EXPECT_EQ(string_ito(-1, 16), u"ffffffff");
  EXPECT_EQ(string_ito(-1, 2), std::u16string(32, u'1'));
  EXPECT_EQ(string_ito(INT_MIN, 10), u"-2147483648");
  EXPECT_EQ(string_ito(INT_MAX, 10), u"2147483647");
  EXPECT_EQ(string_ito(35, 36), u"z");
  EXPECT_EQ(string_ito(36, 36), u"10");
  EXPECT_EQ(string_ito(5, 2), u"101");
}

TEST(TextIntegers, Uito) {
  EXPECT_EQ(string_uito(4294967295u, 10), u"4294967295");
  EXPECT_EQ(string_uito(0, 10), u"0");
  EXPECT_EQ(string_uito(4294967295u, 16), u"ffffffff");
  EXPECT_EQ(string_uito(1000, 10), u"1000");
}

TEST(TextIntegers, Toul) {
  EXPECT_EQ(string_toul(u"42abc"), 42u);
  EXPECT_EQ(string_toul(u"a42"), 0u);
  EXPECT_EQ(string_toul(u""), 0u);
  EXPECT_EQ(string_toul(u" 42"), 0u);  // no white space skipped
  EXPECT_EQ(string_toul(u"+4"), 0u);   // no sign
  EXPECT_EQ(string_toul(u"-4"), 0u);
  EXPECT_EQ(string_toul(u"007"), 7u);
  EXPECT_EQ(string_toul(u"4294967295"), 4294967295u);
  EXPECT_EQ(string_toul(u"4294967296"), 0u);  // wraps modulo 2^32
  EXPECT_EQ(string_toul(u"4294967297x"), 1u);
  EXPECT_EQ(string_toul(u"12\u0663"), 12u);  // Arabic-Indic digit is not a digit here
}

// ---- Substrings and paths ----

TEST(TextReplaceAll, BackslashesToSlashes) {
  std::u16string path = u"one\\two\\three";
  EXPECT_EQ(replace_all(path, kBadPathSeparator, kPathSeparator), 2);
  EXPECT_EQ(path, u"one/two/three");
}

TEST(TextReplaceAll, NonOverlappingLeftToRight) {
  std::u16string text = u"aaa";
  EXPECT_EQ(replace_all(text, u"aa", u"b"), 1);
  EXPECT_EQ(text, u"ba");
  std::u16string four = u"aaaa";
  EXPECT_EQ(replace_all(four, u"aa", u"b"), 2);
  EXPECT_EQ(four, u"bb");
}

TEST(TextReplaceAll, EmptyFindOrTextChangesNothing) {
  std::u16string text = u"abc";
  EXPECT_EQ(replace_all(text, u"", u"x"), 0);
  EXPECT_EQ(text, u"abc");
  std::u16string empty;
  EXPECT_EQ(replace_all(empty, u"a", u"x"), 0);
  EXPECT_EQ(empty, u"");
}

TEST(TextReplaceAll, ReplacedTextIsNotScannedAgain) {
  std::u16string same = u"abab";
  EXPECT_EQ(replace_all(same, u"a", u"a"), 2);  // same length, in place
  EXPECT_EQ(same, u"abab");
  std::u16string grow = u"aXa";
  EXPECT_EQ(replace_all(grow, u"a", u"aa"), 2);
  EXPECT_EQ(grow, u"aaXaa");
  std::u16string swap = u"ab";
  EXPECT_EQ(replace_all(swap, u"a", u"b"), 1);
  EXPECT_EQ(swap, u"bb");
}

TEST(TextReplaceAll, LengthChangesAndEdges) {
  std::u16string shrink = u"--a----b--";
  EXPECT_EQ(replace_all(shrink, u"--", u"-"), 4);
  EXPECT_EQ(shrink, u"-a--b-");
  std::u16string erase = u"x,y,,z";
  EXPECT_EQ(replace_all(erase, u",", u""), 3);
  EXPECT_EQ(erase, u"xyz");
  std::u16string none = u"abc";
  EXPECT_EQ(replace_all(none, u"zz", u"y"), 0);
  EXPECT_EQ(none, u"abc");
  std::u16string whole = u"abc";
  EXPECT_EQ(replace_all(whole, u"abc", u"Далее"), 1);
  EXPECT_EQ(whole, u"Далее");
  std::u16string longer = u"ab";
  EXPECT_EQ(replace_all(longer, u"abc", u"x"), 0);
  EXPECT_EQ(longer, u"ab");
}

TEST(TextPaths, IsDiskRoot) {
  EXPECT_TRUE(isDiskRoot(u"/"));
  EXPECT_FALSE(isDiskRoot(u"//"));
  EXPECT_FALSE(isDiskRoot(u"/tmp"));
  EXPECT_FALSE(isDiskRoot(u""));
  EXPECT_FALSE(isDiskRoot(u"/."));
  EXPECT_FALSE(isDiskRoot(u"\\"));
}

TEST(TextPaths, Separators) {
  EXPECT_EQ(kPathSeparator, u"/");
  EXPECT_EQ(kBadPathSeparator, u"\\");
}

// ---- Directories of the user ----

TEST(TextUserDirs, HomeDirFromHome) {
  EnvGuard home("HOME", "/home/someone/Документы");
  EXPECT_EQ(home_dir(), u"/home/someone/Документы");
}

TEST(TextUserDirs, HomeDirRunsNoShell) {
  const ScratchDir scratch;
  const std::string dir = scratch.path();
  ASSERT_FALSE(dir.empty());
  const std::string marker = dir + "/ran";
  const std::string value = "/x $(touch " + marker + ") `touch " + marker + "` *";
  EnvGuard home("HOME", value.c_str());
  EXPECT_EQ(home_dir(), utf8_to_utf16(value));  // literally, one word
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0) << "a shell ran";
}

TEST(TextUserDirs, HomeDirWithoutHomeFromPasswordDatabase) {
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::string expected = pw->pw_dir;
  EnvGuard home("HOME", nullptr);
  EXPECT_EQ(home_dir(), utf8_to_utf16(expected));
}

TEST(TextUserDirs, AppDataDir) {
  {
    EnvGuard home("HOME", "/tmp/ovn8home");
    EXPECT_EQ(app_data_dir(), u"/tmp/ovn8home/.ovn8/");
    EXPECT_EQ(app_data_dir(true), u"/tmp/ovn8home/.ovn8/");
    struct stat st;
    EXPECT_NE(stat("/tmp/ovn8home/.ovn8", &st), 0) << "nothing is created";
  }
  {
    EnvGuard home("HOME", "");
    EXPECT_EQ(app_data_dir(), u"/.ovn8/");
  }
}

// ---- Processes and files ----

TEST(TextProcesses, RunLinuxCommandReturnsSystemStatus) {
  EXPECT_EQ(run_linux_command("true"), 0);
  const int status = run_linux_command("exit 3");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(TextProcesses, OneLineOutput) {
  EXPECT_EQ(get_one_line_output(u"echo hello; echo second"), u"hello");
  EXPECT_EQ(get_one_line_output(u"printf 'D\\320\\260\\n'"), u"Dа");
  // The last character read is removed, newline or not.
  EXPECT_EQ(get_one_line_output(u"printf abc"), u"ab");
  EXPECT_EQ(get_one_line_output(u"true"), u"");
  EXPECT_EQ(get_one_line_output(u"echo"), u"");
  // At most 254 bytes are read; the last of them is dropped.
  EXPECT_EQ(get_one_line_output(u"printf '%0300d\\n' 0"), std::u16string(253, u'0'));
}

TEST(TextFiles, WfopenWideNames) {
  const ScratchDir scratch;
  const std::string dir = scratch.path();
  ASSERT_FALSE(dir.empty());
  const std::u16string name =
      utf8_to_utf16(dir) + u"/Шаблон " + kSmileUtf16 + kExtBUtf16 + u".txt";
  FILE* out = _wfopen(name, u"w");
  ASSERT_NE(out, nullptr);
  fputs("content\n", out);
  fclose(out);

  const std::string narrowName = dir + "/\xD0\xA8\xD0\xB0\xD0\xB1\xD0\xBB\xD0\xBE\xD0\xBD " +
                                 kSmileUtf8 + kExtBUtf8 + ".txt";
  struct stat st;
  EXPECT_EQ(stat(narrowName.c_str(), &st), 0) << "the name on disk is the UTF-8 of the wide name";

  FILE* in = _wfopen(name, u"r");
  ASSERT_NE(in, nullptr);
  char line[32] = {0};
  ASSERT_NE(fgets(line, sizeof line, in), nullptr);
  EXPECT_STREQ(line, "content\n");
  fclose(in);

  EXPECT_EQ(_wfopen(utf8_to_utf16(dir) + u"/missing", u"r"), nullptr);
  const char16_t lone[] = {u'/', u't', u'm', u'p', u'/', 0xD800, 0};
  EXPECT_EQ(_wfopen(lone, u"r"), nullptr);
}

}  // namespace
