// The files of a kit like a vendor's: 6,000 XML-like templates (2 to
// 40 KiB) in 60 folders and 12 binary parts (1 to 4 MiB of random bytes,
// like compressed pictures), about 150 MB in all and about 3 x
// compressible. The same bytes on every run.
#ifndef OVN8_BENCH_REALISTIC_KIT_H_
#define OVN8_BENCH_REALISTIC_KIT_H_

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_random.h"
#include "kit/kit_writer.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace realistic {

const int kTemplates = 6000;
const int kBinaryParts = 12;

inline std::string word(Random& random) {
  static const char* const kWords[] = {
      "invoice",  "customer", "address", "street",   "city",    "postcode", "country", "amount",
      "currency", "total",    "tax",     "discount", "date",    "due",      "account", "number",
      "name",     "title",    "letter",  "report",   "page",    "header",   "footer",  "table",
      "row",      "column",   "value",   "label",    "style",   "font",     "margin",  "border",
      "width",    "height",   "color",   "image",    "logo",    "sign",     "contract", "order",
      "item",     "quantity", "price",   "unit",     "comment", "note",     "status",  "owner"};
  return kWords[random.next() % 48];
}

// One template: nested elements with attributes, numbers and some prose.
inline std::string templateText(size_t size, Random& random) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<template id=\"" +
                     std::to_string(random.next() % 100000) + "\" kind=\"" + word(random) + "\">\n";
  char number[32];
  while (text.size() < size) {
    const std::string element = word(random);
    snprintf(number, sizeof number, "%u", unsigned(random.next() % 100000));
    text += "  <" + element + " name=\"" + word(random) + "_" + word(random) + "\" width=\"" + number +
            "\" style=\"" + word(random) + "\">\n";
    const int fields = 1 + int(random.next() % 4);
    for (int i = 0; i < fields; ++i) {
      snprintf(number, sizeof number, "%u.%02u", unsigned(random.next() % 10000), unsigned(random.next() % 100));
      text += "    <field ref=\"" + word(random) + "\" value=\"" + number + "\">";
      const int words = int(random.next() % 8);
      for (int w = 0; w < words; ++w) text += (w ? " " : "") + word(random);
      text += "</field>\n";
    }
    text += "  </" + element + ">\n";
  }
  text += "</template>\n";
  return text;
}

inline std::string binaryPart(size_t size, Random& random) {
  std::string bytes;
  bytes.reserve(size + 8);
  while (bytes.size() < size) {
    const uint64_t value = random.next();
    bytes.append(reinterpret_cast<const char*>(&value), 8);
  }
  bytes.resize(size);
  return bytes;
}

// Names with "\" separators, as stored in kits.
inline std::vector<config::KitFileSpec> files(int64_t epochSeconds) {
  Random random(16);
  std::vector<config::KitFileSpec> result;
  const _FILETIME time = EpochToFileTime(epochSeconds);
  for (int i = 0; i < kTemplates; ++i) {
    const size_t size = 2048 + size_t(random.next() % (38 * 1024));
    const std::string name = "forms" + std::to_string(i % 60) + "\\t" + std::to_string(i) + ".xml";
    result.push_back({widen_lib(name), templateText(size, random), time});
  }
  for (int i = 0; i < kBinaryParts; ++i) {
    const size_t size = (1u << 20) + size_t(random.next() % (3u << 20));
    result.push_back({widen_lib("media\\part" + std::to_string(i) + ".bin"), binaryPart(size, random), time});
  }
  return result;
}

}  // namespace realistic

#endif  // OVN8_BENCH_REALISTIC_KIT_H_
