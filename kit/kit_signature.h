// The vendor's OpenPGP signature of a kit: a detached signature beside it
// (KIT.sig, binary, or KIT.asc, armored), checked by gpgv against the
// keyrings the administrator trusts. No cryptography of our own: gpgv
// decides, and its status lines say what it decided.
#ifndef OVN8_KIT_KIT_SIGNATURE_H_
#define OVN8_KIT_KIT_SIGNATURE_H_

#include <string>
#include <vector>

namespace config {

// Where trust comes from. The defaults are the installed system's; tests
// point them elsewhere.
struct SignatureSettings {
  // Holds trusted.gpg.d/ (keyrings: *.gpg, *.kbx) and, when signatures are
  // required on this machine, a file named require-signature.
  std::u16string systemFolder = u"/etc/ovn8setup";
  std::vector<std::u16string> keyrings;  // --keyring, absolute
  bool requireSignature = false;         // --require-signature
  std::string verifier = "/usr/bin/gpgv";
};

enum class SignatureState {
  kUnsigned,    // no signature beside the kit
  kGood,        // made by a key of the trusted keyrings over these very bytes
  kUnknownKey,  // made by a key that is not in the trusted keyrings
  kBad,         // does not match the kit: the kit or the signature was changed
  kInvalid,     // cannot be read, or an expired or revoked key or signature
  kNotChecked,  // gpgv is not installed or could not run
};

struct KitSignature {
  SignatureState state = SignatureState::kUnsigned;
  std::u16string file;      // the signature file; empty when unsigned
  std::string signer;       // the key's user id as gpgv names it (UTF-8)
  std::string keyId;        // the signing key's id
  std::string fingerprint;  // of the signing key, when gpgv told it
  std::string detail;       // in English, for the log
  bool required = false;    // only a good signature may be installed

  // Whether the kit may be installed: never with a signature that is bad or
  // cannot be read; with a good one always; otherwise when none is required.
  bool acceptable() const;
};

// "good", "unsigned", "unknown-key", "bad", "invalid", "not-checked".
const char* signature_state_name(SignatureState state);

// What gpgv's status lines (--status-fd) and exit code say. A bad
// signature outweighs everything; a good one needs its VALIDSIG line and
// exit code 0.
KitSignature interpret_gpgv_status(const std::string& status, int exitStatus);

// The trusted keyrings: the *.gpg and *.kbx files of trusted.gpg.d in name
// order, then those of the command line.
std::vector<std::u16string> trusted_keyrings(const SignatureSettings& settings);
// --require-signature, or the system folder's require-signature file.
bool signature_required(const SignatureSettings& settings);

// The signature beside the kit: KIT.sig, else KIT.asc; empty when neither.
std::u16string signature_file_of(const std::u16string& kitPath);

// Looks for KIT.sig, then KIT.asc, and has gpgv check it. With
// `kitDescriptor` (a file of ours open on the kit, at its start) gpgv reads
// the kit from it rather than from the path.
KitSignature check_kit_signature(const std::u16string& kitPath, const SignatureSettings& settings,
                                 int kitDescriptor = -1);

}  // namespace config

#endif  // OVN8_KIT_KIT_SIGNATURE_H_
