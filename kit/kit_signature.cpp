#include "kit/kit_signature.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/text.h"

namespace config {

namespace {

const char kStatusPrefix[] = "[GNUPG:] ";
// gpgv writes its status lines here; the pipe is private to the run.
const int kStatusDescriptor = 3;
// ERRSIG's return code for a key that is not in the keyrings.
const char kNoPublicKey[] = "9";

// User ids in status lines are UTF-8 with "%XX" escapes.
std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
        isxdigit((unsigned char)text[i + 2])) {
      out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream stream(line);
  for (std::string word; stream >> word;) out.push_back(word);
  return out;
}

std::string word(const std::vector<std::string>& list, size_t index) {
  return index < list.size() ? list[index] : std::string();
}

// The rest of the line after the keyword and the key id: the user id.
std::string userIdOf(const std::string& line) {
  size_t at = line.find(' ');
  if (at != std::string::npos) at = line.find(' ', at + 1);
  return at == std::string::npos ? std::string() : unescape(line.substr(at + 1));
}

// What the status lines held, before the verdict.
struct StatusSeen {
  bool good = false, valid = false, bad = false, unknownKey = false;
  std::string invalid;  // why the signature cannot be used, when it cannot
};

void readLine(const std::string& line, StatusSeen& seen, KitSignature& signature) {
  const std::vector<std::string> parts = words(line);
  const std::string keyword = word(parts, 0);
  if (keyword == "GOODSIG" || keyword == "BADSIG" || keyword == "EXPKEYSIG" || keyword == "REVKEYSIG" ||
      keyword == "EXPSIG") {
    signature.keyId = word(parts, 1);
    signature.signer = userIdOf(line);
  }
  if (keyword == "GOODSIG") seen.good = true;
  if (keyword == "BADSIG") seen.bad = true;
  if (keyword == "EXPKEYSIG") seen.invalid = "the signing key has expired";
  if (keyword == "REVKEYSIG") seen.invalid = "the signing key has been revoked";
  if (keyword == "EXPSIG") seen.invalid = "the signature has expired";
  if (keyword == "VALIDSIG") {
    seen.valid = true;
    signature.fingerprint = word(parts, 1);
  }
  if (keyword == "ERRSIG") {
    signature.keyId = word(parts, 1);
    signature.fingerprint = word(parts, 7);
    if (word(parts, 6) == kNoPublicKey) seen.unknownKey = true;
    else seen.invalid = "the signature cannot be checked (code " + word(parts, 6) + ")";
  }
  if (keyword == "NO_PUBKEY") seen.unknownKey = true;
  if (keyword == "NODATA" || keyword == "BADARMOR") seen.invalid = "no signature can be read from the file";
}

}  // namespace

bool KitSignature::acceptable() const {
  switch (state) {
    case SignatureState::kGood: return true;
    case SignatureState::kBad:
    case SignatureState::kInvalid: return false;
    default: return !required;
  }
}

const char* signature_state_name(SignatureState state) {
  switch (state) {
    case SignatureState::kUnsigned: return "unsigned";
    case SignatureState::kGood: return "good";
    case SignatureState::kUnknownKey: return "unknown-key";
    case SignatureState::kBad: return "bad";
    case SignatureState::kInvalid: return "invalid";
    case SignatureState::kNotChecked: return "not-checked";
  }
  return "invalid";
}

KitSignature interpret_gpgv_status(const std::string& status, int exitStatus) {
  KitSignature signature;
  StatusSeen seen;
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, sizeof kStatusPrefix - 1, kStatusPrefix) == 0)
      readLine(line.substr(sizeof kStatusPrefix - 1), seen, signature);
  if (seen.bad) {
    signature.state = SignatureState::kBad;
    signature.detail = "the signature does not match the kit";
  } else if (!seen.invalid.empty()) {
    signature.state = SignatureState::kInvalid;
    signature.detail = seen.invalid;
  } else if (seen.good && seen.valid && exitStatus == 0) {
    signature.state = SignatureState::kGood;
    signature.detail = "good signature";
  } else if (seen.unknownKey) {
    signature.state = SignatureState::kUnknownKey;
    signature.detail = "signed by a key that is not trusted here";
  } else {
    signature.state = SignatureState::kInvalid;
    signature.detail = "gpgv did not confirm the signature (exit status " + std::to_string(exitStatus) + ")";
  }
  return signature;
}

std::vector<std::u16string> trusted_keyrings(const SignatureSettings& settings) {
  std::vector<std::u16string> keyrings;
  const std::u16string folder = settings.systemFolder + u"/trusted.gpg.d";
  std::vector<DirectoryEntry> entries;
  if (FileSystem::ListDirectory(folder, entries) == ERROR_SUCCESS) {
    for (const DirectoryEntry& entry : entries) {
      const std::u16string& name = entry.name;
      const bool keyring = (name.size() > 4 && (name.compare(name.size() - 4, 4, u".gpg") == 0 ||
                                                name.compare(name.size() - 4, 4, u".kbx") == 0));
      if (keyring && (entry.kind == FileKind::kRegular || entry.kind == FileKind::kSymbolicLink))
        keyrings.push_back(folder + u"/" + name);
    }
    std::sort(keyrings.begin(), keyrings.end());
  }
  keyrings.insert(keyrings.end(), settings.keyrings.begin(), settings.keyrings.end());
  return keyrings;
}

bool signature_required(const SignatureSettings& settings) {
  FileStatus status;
  return settings.requireSignature ||
         (FileSystem::GetFileStatus(settings.systemFolder + u"/require-signature", true, status) ==
              ERROR_SUCCESS &&
          status.exists());
}

namespace {

// `kitData` is the kit's path, or "-" for gpgv's standard input.
std::vector<std::string> gpgvArguments(const std::string& kitData, const std::u16string& signatureFile,
                                       const SignatureSettings& settings) {
  std::vector<std::string> arguments = {settings.verifier, "--status-fd=" + std::to_string(kStatusDescriptor)};
  const std::vector<std::u16string> keyrings = trusted_keyrings(settings);
  for (const std::u16string& keyring : keyrings) arguments.push_back("--keyring=" + narrow_lib(keyring));
  // Without one gpgv would take the user's own trustedkeys file: nothing of
  // the user's is trusted on the administrator's behalf.
  if (keyrings.empty()) arguments.push_back("--keyring=/dev/null");
  arguments.push_back("--");
  arguments.push_back(narrow_lib(signatureFile));
  arguments.push_back(kitData);
  return arguments;
}

}  // namespace

std::u16string signature_file_of(const std::u16string& kitPath) {
  for (const char16_t* suffix : {u".sig", u".asc"}) {
    FileStatus status;
    const std::u16string path = kitPath + suffix;
    if (FileSystem::GetFileStatus(path, true, status) == ERROR_SUCCESS && status.exists()) return path;
  }
  return std::u16string();
}

KitSignature check_kit_signature(const std::u16string& kitPath, const SignatureSettings& settings,
                                 int kitDescriptor) {
  KitSignature signature;
  const bool required = signature_required(settings);
  const std::u16string file = signature_file_of(kitPath);
  if (file.empty()) {
    signature.detail = "no signature beside the kit";
  } else {
    const std::string kitData = kitDescriptor >= 0 ? std::string("-") : narrow_lib(kitPath);
    const ProcessRun run =
        run_process(gpgvArguments(kitData, file, settings), kStatusDescriptor, kitDescriptor);
    if (run.startError != ERROR_SUCCESS) {
      signature.state = SignatureState::kNotChecked;
      signature.detail = settings.verifier + " cannot be run" +
                         (run.startError == ERROR_FILE_NOT_FOUND ? ": it is not installed" : "");
    } else {
      signature = interpret_gpgv_status(run.status, run.exitStatus);
    }
  }
  signature.file = file;
  signature.required = required;
  return signature;
}

}  // namespace config
