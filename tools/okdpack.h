// okdpack's parts: packing (okdpack.cpp) and looking into kits
// (okdpack_list_verify.cpp).
#ifndef OVN8_TOOLS_OKDPACK_H_
#define OVN8_TOOLS_OKDPACK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace okdpack {

// Prints the kit's version, descriptions and entries with a totals line.
int listKit(const char* path);
// Opens the kit as the wizard does and also refuses a file that is not
// exactly one whole stream or whose signature beside it does not verify
// (against the system's keyrings and `keyrings`). 0, or 1 with the reason
// on standard error.
int verifyKit(const char* path, const std::vector<std::string>& keyrings);

// Has gpg make KIT.sig (with the key `keyId`, else gpg's default key).
int signKit(const std::string& kit, const std::string& keyId);
// Says what gpgv makes of the signature beside the kit; 1 when it is bad
// or cannot be read.
int verifySignature(const char* kit, const std::vector<std::string>& keyrings);

// A text of a kit as it may be printed on one line: control characters,
// tabs, line feeds and backslashes escaped.
std::string printableText(const std::u16string& wide);
// "248.0 MB" and the like, for people.
std::string byteCount(uint64_t bytes);

}  // namespace okdpack

#endif  // OVN8_TOOLS_OKDPACK_H_
