// A signing key made for one test: a private GnuPG home, a key without a
// passphrase, and its public key exported as a keyring for gpgv. Its agent
// is stopped when the key goes.
#ifndef OVN8_KIT_GPG_TEST_SUPPORT_H_
#define OVN8_KIT_GPG_TEST_SUPPORT_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace gpgtest {

inline bool gpgAvailable() {
  return access("/usr/bin/gpg", X_OK) == 0 && access("/usr/bin/gpgv", X_OK) == 0 &&
         access("/usr/bin/gpgconf", X_OK) == 0;
}

class SigningKey {
 public:
  // Makes the key in a home of its own in `folder`, which must exist.
  SigningKey(const std::string& folder, const std::string& userId)
      : home_(folder + "/gnupg" + std::to_string(++count())), keyring_(home_ + ".gpg") {
    mkdir(home_.c_str(), 0700);
    ready_ = gpg("--quick-gen-key '" + userId + "' ed25519 sign never") &&
             gpg("--export --output '" + keyring_ + "'");
  }
  ~SigningKey() { system(("gpgconf --homedir '" + home_ + "' --kill gpg-agent >/dev/null 2>&1").c_str()); }
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  bool ready() const { return ready_; }
  // The public key, a keyring gpgv reads.
  const std::string& keyring() const { return keyring_; }
  // "GNUPGHOME=... " for a command that signs with this key.
  std::string environment() const { return "GNUPGHOME='" + home_ + "' "; }
  // Writes FILE.sig, or FILE.asc when armored.
  bool sign(const std::string& file, bool armored = false) const {
    return gpg(std::string(armored ? "--armor " : "") + "--detach-sign --output '" + file +
               (armored ? ".asc" : ".sig") + "' '" + file + "'");
  }

 private:
  static int& count() {
    static int made = 0;
    return made;
  }
  bool gpg(const std::string& arguments) const {
    return system((environment() + "gpg --batch --yes --quiet --passphrase '' --pinentry-mode loopback " +
                   arguments + " >/dev/null 2>&1")
                      .c_str()) == 0;
  }

  std::string home_;
  std::string keyring_;
  bool ready_ = false;
};

}  // namespace gpgtest

#endif  // OVN8_KIT_GPG_TEST_SUPPORT_H_
