// Text, integer and path utilities shared by every subsystem.
//
// Wide strings are UTF-16 (std::u16string); narrow strings are bytes in the
// multibyte encoding of the environment's locale (UTF-8 in practice). Wide
// and narrow text meet only at calls into the C library, the kernel and the
// toolkit, through widen_lib and narrow_lib.
#ifndef OVN8_PLATFORM_TEXT_H_
#define OVN8_PLATFORM_TEXT_H_

#include <cstdio>
#include <string>
#include <string_view>

// Separator of every path the system builds, and the separator that kit
// entries and some stored lists use instead.
extern const std::u16string kPathSeparator;     // "/"
extern const std::u16string kBadPathSeparator;  // "\"

// Puts the environment's locale in force for the whole process
// (setlocale(LC_ALL, "")). Called once at start-up, before any thread exists;
// calling it again is harmless. Where the environment names the plain C or
// POSIX locale (ASCII only), the character set becomes UTF-8 (C.UTF-8), so
// that interface texts and non-ASCII file names still convert. The
// conversions below always use that character set, on every thread, without
// touching process-wide state.
void init_locale_from_environment();

// Win32-style conversions. The code page, flags and default-character
// arguments are accepted and ignored. Characters above U+FFFF travel as
// surrogate pairs on the wide side.
//
// WideCharToMultiByte: `src` is zero-terminated, `srcLen` its length in units
// (the conversion also ends at a zero unit; a negative length means "up to
// the terminator"). Returns the bytes the whole conversion needs (no
// terminator), or -1 when a character has no representation in the locale's
// encoding or a surrogate is unpaired. Unless the result is 0, `dst` is
// zeroed over `dstSize` bytes and receives at most `dstSize` converted bytes
// (for -1, the bytes converted before the bad character).
int WideCharToMultiByte(unsigned codePage, unsigned flags, const char16_t* src,
                        int srcLen, char* dst, int dstSize,
                        const char* defaultChar, bool* usedDefault);
// MultiByteToWideChar: converts the whole zero-terminated `src` (`srcLen` does
// not limit it). Returns the units of the whole conversion, or -1 on an
// invalid sequence (nothing stored). Stores min(capacity, result) units and
// no terminator.
int MultiByteToWideChar(unsigned codePage, unsigned flags, const char* src,
                        int srcLen, char16_t* dst, int dstCapacity);

// Narrow to wide and back; an unconvertible text yields an empty string.
// narrow_lib ends at the first zero unit, widen_lib at the first zero byte.
std::u16string widen_lib(const std::string& text);
std::string narrow_lib(const std::u16string& text);
// narrow_lib into `out` (replaced), which keeps its buffer from one call to
// the next; false (and `out` empty) for an unconvertible text.
bool narrow_into(std::u16string_view text, std::string& out);

// UTF-8 literals of the sources into wide strings, independent of the locale.
std::u16string utf8_to_utf16(const std::string& text);
std::string utf16_to_utf8(const std::u16string& text);

// `text` as it may be printed on a terminal or in a one-line record, so
// that no name can forge a line or send an escape sequence: a backslash
// becomes "\\", line feed, carriage return and tab "\n", "\r" and "\t",
// the other C0 controls, DEL and every byte that is not part of valid UTF-8
// "\xHH", the C1 controls (U+0080-U+009F) "\uHHHH". Everything else stays,
// and every escape reads back unambiguously. With Backslash::kKept a
// backslash stays as it is, for text whose names were escaped before.
enum class Backslash { kEscaped, kKept };
std::string printable(const std::string& text, Backslash backslash = Backslash::kEscaped);
// The same for wide text (which is UTF-16); an unpaired surrogate becomes
// "\uHHHH".
std::u16string printable(const std::u16string& text);

// Integers as text in radix 2..36, lower-case digits. string_ito writes a
// sign only in radix 10; in other radixes a negative value is written as its
// 32-bit two's-complement pattern.
std::u16string string_ito(int value, int radix);
std::u16string string_uito(unsigned value, int radix);
// Value of the leading run of decimal digits, modulo 2^32; 0 without one.
unsigned long string_toul(const std::u16string& text);

// Replaces every non-overlapping occurrence of `what`, left to right, and
// returns the number of replacements. Empty `what` or `text`: 0, no change.
int replace_all(std::u16string& text, const std::u16string& what,
                const std::u16string& with);

// True exactly for the one-unit path "/".
bool isDiskRoot(const std::u16string& path);

// The user's home directory, without a trailing separator; empty when it
// cannot be determined. Never runs a shell.
std::u16string home_dir();
// home_dir() + "/.ovn8/". The argument has no effect.
std::u16string app_data_dir(bool unused = false);

// Runs `command` through the shell and returns system()'s status.
int run_linux_command(const std::string& command);
// First line (at most 254 bytes, newline removed) that `command` prints.
std::u16string get_one_line_output(const std::u16string& command);
// fopen with wide path and mode.
FILE* _wfopen(const std::u16string& path, const std::u16string& mode);

#endif  // OVN8_PLATFORM_TEXT_H_
