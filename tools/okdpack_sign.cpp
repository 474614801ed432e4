// okdpack --sign: gpg makes the detached signature KIT.sig beside the kit;
// okdpack --verify has gpgv check one that lies there.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kit/kit_signature.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tools/okdpack.h"

namespace okdpack {

namespace {

// The first executable `name` on PATH; empty when there is none.
std::string findProgram(const char* name) {
  const char* path = getenv("PATH");
  const std::string folders = path != nullptr && *path != 0 ? path : "/usr/local/bin:/usr/bin:/bin";
  for (size_t start = 0; start <= folders.size();) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = end > start ? folders.substr(start, end - start) : ".";
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

}  // namespace

int signKit(const std::string& kit, const std::string& keyId) {
  const std::string gpg = findProgram("gpg");
  if (gpg.empty()) {
    fprintf(stderr, "okdpack: %s was written but not signed: gpg is not installed\n", printable(kit).c_str());
    return 1;
  }
  std::vector<std::string> arguments = {gpg, "--batch", "--yes", "--detach-sign", "--output", kit + ".sig"};
  if (!keyId.empty()) {
    arguments.push_back("--local-user");
    arguments.push_back(keyId);
  }
  arguments.push_back("--");
  arguments.push_back(kit);
  const ProcessRun run = run_process(arguments, -1);
  if (run.startError != 0 || run.exitStatus != 0) {
    fprintf(stderr, "okdpack: %s was written but not signed: gpg failed (status %d)\n%s",
            printable(kit).c_str(), run.exitStatus, printable(run.errorText, Backslash::kKept).c_str());
    unlink((kit + ".sig").c_str());
    return 1;
  }
  return 0;
}

int verifySignature(const char* kit, const std::vector<std::string>& keyrings) {
  config::SignatureSettings settings;
  for (const std::string& keyring : keyrings) settings.keyrings.push_back(widen_lib(keyring));
  const config::KitSignature signature = config::check_kit_signature(widen_lib(kit), settings);
  const std::string file = printable(narrow_lib(signature.file));
  switch (signature.state) {
    case config::SignatureState::kUnsigned:
      printf("%s: not signed (no %s.sig or %s.asc)\n", kit, kit, kit);
      return 0;
    case config::SignatureState::kGood:
      printf("%s: good signature by \"%s\", key %s\n", file.c_str(), printable(signature.signer).c_str(),
             signature.fingerprint.c_str());
      return 0;
    case config::SignatureState::kUnknownKey:
      printf("%s: made by key %s, which is in no trusted keyring (give --keyring=FILE)\n", file.c_str(),
             signature.keyId.c_str());
      return 0;
    case config::SignatureState::kNotChecked:
      printf("%s: not checked: %s\n", file.c_str(), signature.detail.c_str());
      return 0;
    default:
      fprintf(stderr, "okdpack: %s: damaged (not a valid kit): %s: %s\n", kit, file.c_str(),
              signature.detail.c_str());
      return 1;
  }
}

}  // namespace okdpack
