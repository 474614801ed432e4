// Writes the seed corpus of the kit fuzzer: small valid kits of both forms
// and their unpacked containers, with padded records, data out of order, and
// entries with and without their checksum extension.
//   fuzz_seeds DIR
#include <cstdio>
#include <string>

#include "kit/container_builder.h"
#include "kit/kit_writer.h"

namespace {

config::KitSpec sample(bool single, int files) {
  config::KitSpec kit;
  kit.singleForm = single;
  kit.descriptions = {{u"en", u"Product", u"Vendor", u"doc\\readme.html"}, {u"ru", u"Продукт", u"", u""}};
  const char16_t* names[] = {u"doc\\readme.html", u"a.tmpl", u"t\\b\\c.tmpl", u"empty", u".hidden\\x"};
  for (int i = 0; i < files; ++i) {
    std::string bytes(size_t(i * 37), char('a' + i));
    kit.files.push_back({names[i % 5], bytes, EpochToFileTime(1500000000 + i * 3601)});
  }
  return kit;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  int written = 0;
  for (bool single : {false, true}) {
    for (int files : {0, 1, 3, 5}) {
      for (bool reversed : {false, true}) {
        config::KitLayout layout;
        // Checksummed entries, and the entries of kits from before them.
        layout.checksums = !reversed || files % 2 == 1;
        layout.reverseData = reversed;
        layout.entryPadding = reversed ? 3 : 0;
        layout.descriptionPadding = reversed ? 2 : 0;
        std::string container;
        if (!config::buildContainer(sample(single, files), layout, container)) return 1;
        const std::string name = dir + "/seed-" + std::to_string(written++);
        if (!config::writeFileBytes(name + "-container", container) ||
            !config::writeContainerAsKit(name + "-kit", container))
          return 1;
      }
    }
  }
  return config::writeFileBytes(dir + "/seed-smallest", std::string(20, '\0')) ? 0 : 1;
}
