// The kit's signature: gpgv's status lines, the trusted keyrings and the
// rule, and real signatures checked by gpgv.
#include <gtest/gtest.h>

#include "kit/container_builder.h"
#include "kit/gpg_test_support.h"
#include "kit/kit_signature.h"
#include "kit/kit_test_support.h"

using config::KitSignature;
using config::SignatureState;
using kittest::KitScene;

namespace {

const char kKey[] = "0440ECD9448F803C";
const char kPrint[] = "BB152BF08850523E9CA65DDB0440ECD9448F803C";

std::string line(const std::string& text) { return "[GNUPG:] " + text + "\n"; }

TEST(KitSignatureTest, ReadsGpgvStatusLines) {
  const std::string good = line("NEWSIG") + line(std::string("GOODSIG ") + kKey + " Example Vendor %3Ckits%25x%3E") +
                           line(std::string("VALIDSIG ") + kPrint + " 2026-12-08 1796757256 0 4 0 22 8 00 " + kPrint);
  KitSignature s = config::interpret_gpgv_status(good, 0);
  EXPECT_EQ(SignatureState::kGood, s.state);
  EXPECT_EQ("Example Vendor <kits%x>", s.signer);
  EXPECT_EQ(kKey, s.keyId);
  EXPECT_EQ(kPrint, s.fingerprint);
  // A good line without VALIDSIG, or with a failing exit code, is no proof.
  EXPECT_EQ(SignatureState::kInvalid,
            config::interpret_gpgv_status(line(std::string("GOODSIG ") + kKey + " V"), 0).state);
  EXPECT_EQ(SignatureState::kInvalid, config::interpret_gpgv_status(good, 1).state);
  // A bad signature outweighs a good one beside it.
  s = config::interpret_gpgv_status(good + line(std::string("BADSIG ") + kKey + " Example Vendor"), 1);
  EXPECT_EQ(SignatureState::kBad, s.state);
  EXPECT_EQ("Example Vendor", s.signer);

  s = config::interpret_gpgv_status(
      line(std::string("ERRSIG ") + kKey + " 22 8 00 1796757256 9 " + kPrint) + line(std::string("NO_PUBKEY ") + kKey), 2);
  EXPECT_EQ(SignatureState::kUnknownKey, s.state);
  EXPECT_EQ(kKey, s.keyId);
  EXPECT_EQ(kPrint, s.fingerprint);
  const struct {
    std::string status;
    int exit;
  } unusable[] = {
      {line(std::string("EXPKEYSIG ") + kKey + " V") + line(std::string("VALIDSIG ") + kPrint), 0},
      {line(std::string("REVKEYSIG ") + kKey + " V"), 0},
      {line(std::string("EXPSIG ") + kKey + " V"), 0},
      {line(std::string("ERRSIG ") + kKey + " 22 8 00 1796757256 4"), 2},
      {line("NODATA 1"), 2},
      {line("BADARMOR"), 2},
      {"", 2},
      {"GOODSIG forged without the prefix\nVALIDSIG x\n", 0},
  };
  for (const auto& c : unusable)
    EXPECT_EQ(SignatureState::kInvalid, config::interpret_gpgv_status(c.status, c.exit).state) << c.status;
}

TEST(KitSignatureTest, TrustedKeyringsAndTheRule) {
  KitScene scene;
  config::SignatureSettings settings;
  settings.systemFolder = scene.wide("etc");
  EXPECT_TRUE(config::trusted_keyrings(settings).empty());
  EXPECT_FALSE(config::signature_required(settings));
  ASSERT_EQ(0, system(("mkdir -p '" + scene.path("etc/trusted.gpg.d/folder.gpg") + "'").c_str()));
  for (const char* name : {"b.gpg", "a.kbx", "c.asc", "README", ".gpg"})
    ASSERT_TRUE(config::writeFileBytes(scene.path("etc/trusted.gpg.d/") + name, "k"));
  ASSERT_EQ(0, symlink("/nonexistent/vendor.gpg", scene.path("etc/trusted.gpg.d/link.gpg").c_str()));
  settings.keyrings = {u"/srv/keys/extra.gpg"};
  const std::u16string folder = scene.wide("etc/trusted.gpg.d/");
  EXPECT_EQ((std::vector<std::u16string>{folder + u"a.kbx", folder + u"b.gpg", folder + u"link.gpg",
                                         u"/srv/keys/extra.gpg"}),
            config::trusted_keyrings(settings));

  settings.requireSignature = true;
  EXPECT_TRUE(config::signature_required(settings));
  settings.requireSignature = false;
  ASSERT_TRUE(config::writeFileBytes(scene.path("etc/require-signature"), ""));
  EXPECT_TRUE(config::signature_required(settings));

  // Bad and unreadable signatures never pass; the rest only when no
  // trusted signature is required.
  for (bool required : {false, true}) {
    for (SignatureState state : {SignatureState::kUnsigned, SignatureState::kGood, SignatureState::kUnknownKey,
                                 SignatureState::kBad, SignatureState::kInvalid, SignatureState::kNotChecked}) {
      KitSignature s;
      s.state = state;
      s.required = required;
      const bool expected = state == SignatureState::kGood ||
                            (!required && state != SignatureState::kBad && state != SignatureState::kInvalid);
      EXPECT_EQ(expected, s.acceptable()) << config::signature_state_name(state) << (required ? ", required" : "");
    }
  }
}

TEST(KitSignatureTest, GpgvChecksRealSignatures) {
  if (!gpgtest::gpgAvailable()) GTEST_SKIP() << "gpg and gpgv are not installed";
  KitScene scene;
  gpgtest::SigningKey vendor(scene.root(), "Example Vendor <kits@example.com>");
  gpgtest::SigningKey stranger(scene.root(), "Someone Else <x@example.org>");
  ASSERT_TRUE(vendor.ready());
  ASSERT_TRUE(stranger.ready());
  const std::string kit = scene.path("ovn8.okd");
  ASSERT_TRUE(config::writeContainerAsKit(kit, std::string(20, '\0')));
  config::SignatureSettings settings;
  settings.systemFolder = scene.wide("etc");
  settings.keyrings = {widen_lib(vendor.keyring())};

  KitSignature s = config::check_kit_signature(widen_lib(kit), settings);
  EXPECT_EQ(SignatureState::kUnsigned, s.state);
  EXPECT_TRUE(s.file.empty());

  for (bool armored : {true, false}) {
    ASSERT_TRUE(vendor.sign(kit, armored));
    s = config::check_kit_signature(widen_lib(kit), settings);
    EXPECT_EQ(SignatureState::kGood, s.state) << s.detail;
    EXPECT_EQ("Example Vendor <kits@example.com>", s.signer);
    EXPECT_EQ(widen_lib(kit + (armored ? ".asc" : ".sig")), s.file);
  }
  // The binary signature comes first; the armored one is left as it is.
  ASSERT_TRUE(stranger.sign(kit));
  s = config::check_kit_signature(widen_lib(kit), settings);
  EXPECT_EQ(SignatureState::kUnknownKey, s.state) << s.detail;
  // Only the keyrings given count, never the user's own.
  settings.keyrings.clear();
  ASSERT_TRUE(vendor.sign(kit));
  EXPECT_EQ(SignatureState::kUnknownKey, config::check_kit_signature(widen_lib(kit), settings).state);
  settings.keyrings = {widen_lib(vendor.keyring())};

  // One more byte in the kit, or one byte changed in the signature.
  const std::string bytes = kittest::readFile(kit);
  ASSERT_TRUE(config::writeFileBytes(kit, bytes + "x"));
  s = config::check_kit_signature(widen_lib(kit), settings);
  EXPECT_EQ(SignatureState::kBad, s.state) << s.detail;
  EXPECT_FALSE(s.acceptable());
  ASSERT_TRUE(config::writeFileBytes(kit, bytes));
  std::string signature = kittest::readFile(kit + ".sig");
  signature[signature.size() - 5] ^= 0x01;
  ASSERT_TRUE(config::writeFileBytes(kit + ".sig", signature));
  s = config::check_kit_signature(widen_lib(kit), settings);
  EXPECT_FALSE(s.acceptable()) << config::signature_state_name(s.state);
  ASSERT_TRUE(config::writeFileBytes(kit + ".sig", "not a signature"));
  EXPECT_EQ(SignatureState::kInvalid, config::check_kit_signature(widen_lib(kit), settings).state);

  settings.verifier = scene.path("no-gpgv");
  s = config::check_kit_signature(widen_lib(kit), settings);
  EXPECT_EQ(SignatureState::kNotChecked, s.state);
  EXPECT_NE(std::string::npos, s.detail.find("not installed")) << s.detail;
  EXPECT_TRUE(s.acceptable());
  settings.requireSignature = true;
  EXPECT_FALSE(config::check_kit_signature(widen_lib(kit), settings).acceptable());
}

}  // namespace
