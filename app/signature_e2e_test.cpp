// Signed kits from end to end: a key made for the test, a kit signed by
// okdpack, the wizard's build for tests (whose system folder and gpgv the
// test chooses) installing it, refusing it when a byte of the kit or the
// signature changed or when a trusted signature is required, and saying
// what it found in its JSON result and its log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "app/e2e_support.h"
#include "kit/container_builder.h"
#include "kit/gpg_test_support.h"
#include "platform/test_toolkit.h"

namespace {

using e2e::Result;

const char kSigner[] = "Example Vendor <kits@example.com>";

std::string buildFile(const char* name) {
  const char* build = getenv("OVN8_BUILD_DIR");
  const std::string path = std::string(build ? build : ".") + "/" + name;
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

class SignatureE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    binary_ = buildFile("ovn8setup_test_seams");
    okdpack_ = buildFile("okdpack");
    if (binary_.empty() || okdpack_.empty()) GTEST_SKIP() << "ovn8setup_test_seams or okdpack is not built";
    if (!gpgtest::gpgAvailable()) GTEST_SKIP() << "gpg and gpgv are not installed";
    ASSERT_TRUE(scratch_.ok());
    for (const std::string& dir : {home_, tmp_, etc_, tree_, tree_ + "/forms"}) ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_TRUE(testkit::writeFile(tree_ + "/forms/invoice.tpl", "invoice\n"));
    ASSERT_TRUE(testkit::writeFile(tree_ + "/readme.html", "<html/>"));
    vendor_.reset(new gpgtest::SigningKey(root_, kSigner));
    stranger_.reset(new gpgtest::SigningKey(root_, "Someone Else <x@example.org>"));
    ASSERT_TRUE(vendor_->ready() && stranger_->ready());
  }

  // okdpack packs the tree into `kit`, signed by `key` when given.
  void pack(const std::string& kit, const gpgtest::SigningKey* key) {
    const std::string command = (key ? key->environment() : std::string()) + "'" + okdpack_ + "' '" + tree_ +
                                "' -o '" + kit + "' -q --kit-version=2.0 --description en Forms Vendor readme.html" +
                                (key ? " --sign" : "") + " >/dev/null 2>&1";
    ASSERT_EQ(0, system(command.c_str())) << command;
  }

  // The wizard, unattended with its JSON result, into a new folder below
  // the scratch folder; `verifier` replaces gpgv when given.
  Result install(const std::string& kit, const std::string& target, std::vector<std::string> extra,
                 const std::string& verifier = "") {
    std::vector<std::string> args = {binary_, "--unattended", "--json", "--kit=" + kit, "--target=" + root_ + "/" + target,
                                     "--log=" + logOf(target)};
    args.insert(args.end(), extra.begin(), extra.end());
    return e2e::run_headless(args, home_, tmp_, root_,
                             {{"LC_ALL", ""}, {"OVN8_TEST_SYSTEM_FOLDER", etc_}, {"OVN8_TEST_GPGV", verifier}});
  }

  std::string keyring() const { return "--keyring=" + vendor_->keyring(); }
  bool installed(const std::string& target) const { return testkit::exists(root_ + "/" + target + "/forms/invoice.tpl"); }
  // Each run into `target` logs to a file of its own.
  std::string logOf(const std::string& target) const { return root_ + "/" + target + ".log"; }
  // The run refused the kit before it was unpacked.
  bool nothingUnpacked(const std::string& target) const {
    const std::string log = testkit::readFile(logOf(target));
    return log.find("kit signature: ") != std::string::npos && log.find("kit opened") == std::string::npos;
  }

  testkit::ScratchDir scratch_{"/tmp", "ovn8sig"};
  const std::string root_ = scratch_.path();
  const std::string home_ = root_ + "/home", tmp_ = root_ + "/tmp", etc_ = root_ + "/etc", tree_ = root_ + "/tree";
  std::string binary_, okdpack_;
  std::unique_ptr<gpgtest::SigningKey> vendor_, stranger_;
};

TEST_F(SignatureE2eTest, ASignedKitInstallsAndNamesItsSigner) {
  const std::string kit = root_ + "/signed.okd";
  pack(kit, vendor_.get());
  ASSERT_TRUE(testkit::exists(kit + ".sig"));
  Result result = install(kit, "t1", {keyring()});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(installed("t1"));
  EXPECT_EQ("", result.err);
  EXPECT_NE(std::string::npos, result.out.find("\"signature\":{\"state\":\"good\",\"required\":false,\"file\":\"" +
                                               kit + ".sig\",\"signer\":\"" + kSigner + "\""))
      << result.out;
  EXPECT_NE(std::string::npos, result.out.find("\"version\":\"2.0\"")) << result.out;
  const std::string log = testkit::readFile(logOf("t1"));
  EXPECT_NE(std::string::npos, log.find(std::string("kit signature: good, good signature, file ") + kit +
                                        ".sig, signer " + kSigner))
      << log;

  // The administrator's keyrings, and the rule, in the system folder.
  ASSERT_EQ(0, mkdir((etc_ + "/trusted.gpg.d").c_str(), 0755));
  ASSERT_TRUE(testkit::writeFile(etc_ + "/trusted.gpg.d/vendor.gpg", testkit::readFile(vendor_->keyring())));
  ASSERT_TRUE(testkit::writeFile(etc_ + "/require-signature", ""));
  result = install(kit, "t2", {});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(installed("t2"));
  EXPECT_NE(std::string::npos, result.out.find("\"state\":\"good\",\"required\":true")) << result.out;
}

TEST_F(SignatureE2eTest, AKitReplacedAfterItsCheckIsNotTheOneInstalled) {
  const std::string kit = root_ + "/signed.okd";
  pack(kit, vendor_.get());
  // Another kit, unsigned, that a third party puts at the kit's path the
  // moment gpgv has passed the signed one.
  ASSERT_TRUE(testkit::writeFile(tree_ + "/planted.txt", "not the vendor's\n"));
  const std::string planted = root_ + "/planted.okd";
  pack(planted, nullptr);
  const std::string swapper = root_ + "/gpgv-then-swap";
  ASSERT_TRUE(testkit::writeFile(swapper, "#!/bin/sh\n/usr/bin/gpgv \"$@\"\nstatus=$?\nmv -f '" + planted +
                                              "' '" + kit + "'\nexit $status\n"));
  ASSERT_EQ(0, chmod(swapper.c_str(), 0755));

  const Result result = install(kit, "t1", {keyring(), "--require-signature"}, swapper);
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_FALSE(testkit::exists(root_ + "/planted.okd")) << "the swap did not happen";
  EXPECT_TRUE(installed("t1"));
  EXPECT_FALSE(testkit::exists(root_ + "/t1/planted.txt"));
  EXPECT_NE(std::string::npos, result.out.find("\"state\":\"good\"")) << result.out;
}

// Written over in place (the same file, so pinning it does not help) the
// moment gpgv has passed it, the kit is no longer what the signature
// vouched for: nothing of it is installed.
TEST_F(SignatureE2eTest, AKitWrittenOverInPlaceAfterItsCheckIsRefused) {
  const std::string kit = root_ + "/signed.okd";
  pack(kit, vendor_.get());
  ASSERT_TRUE(testkit::writeFile(tree_ + "/planted.txt", "not the vendor's\n"));
  const std::string planted = root_ + "/planted.okd";
  pack(planted, nullptr);
  const std::string writer = root_ + "/gpgv-then-write";
  ASSERT_TRUE(testkit::writeFile(writer, "#!/bin/sh\n/usr/bin/gpgv \"$@\"\nstatus=$?\ncat '" + planted + "' > '" +
                                             kit + "'\nexit $status\n"));
  ASSERT_EQ(0, chmod(writer.c_str(), 0755));
  ASSERT_EQ(0, mkdir((root_ + "/t1").c_str(), 0755));

  const Result result = install(kit, "t1", {keyring(), "--require-signature"}, writer);
  EXPECT_NE(0, result.status) << result.out;
  EXPECT_EQ(testkit::readFile(planted), testkit::readFile(kit)) << "the kit was not written over";
  EXPECT_FALSE(testkit::exists(root_ + "/t1/planted.txt"));
  EXPECT_FALSE(installed("t1"));
  EXPECT_EQ(std::vector<std::string>(), testkit::entryNames(root_ + "/t1"));
  EXPECT_NE(std::string::npos, testkit::readFile(logOf("t1")).find("written to after its signature was checked"))
      << testkit::readFile(logOf("t1"));
}

TEST_F(SignatureE2eTest, OneChangedByteInTheKitOrTheSignatureIsRefusedBeforeUnpacking) {
  const std::string kit = root_ + "/signed.okd";
  pack(kit, vendor_.get());
  const std::string bytes = testkit::readFile(kit), signature = testkit::readFile(kit + ".sig");
  for (const bool inKit : {true, false}) {
    SCOPED_TRACE(inKit ? "kit" : "signature");
    std::string changed = inKit ? bytes : signature;
    changed[changed.size() / 2] ^= 0x20;
    ASSERT_TRUE(config::writeFileBytes(inKit ? kit : kit + ".sig", changed));
    ASSERT_TRUE(config::writeFileBytes(inKit ? kit + ".sig" : kit, inKit ? signature : bytes));
    const Result result = install(kit, "t", {keyring()});
    EXPECT_EQ(1, result.status) << result.err;
    EXPECT_FALSE(testkit::exists(root_ + "/t"));
    EXPECT_TRUE(nothingUnpacked("t"));
    unlink(logOf("t").c_str());
    EXPECT_NE(std::string::npos, result.out.find("\"outcome\":\"refused\"")) << result.out;
    EXPECT_NE(std::string::npos, result.out.find("\"code\":\"kit-signature-")) << result.out;
    EXPECT_NE(std::string::npos, result.err.find("Distribution kit file ovn8.okd corrupted")) << result.err;
  }
}

TEST_F(SignatureE2eTest, ARequiredSignatureRefusesUnsignedKitsAndUnknownKeys) {
  const std::string unsignedKit = root_ + "/unsigned.okd", strangers = root_ + "/strangers.okd";
  pack(unsignedKit, nullptr);
  pack(strangers, stranger_.get());
  Result result = install(unsignedKit, "t1", {keyring(), "--require-signature"});
  EXPECT_EQ(1, result.status);
  EXPECT_FALSE(testkit::exists(root_ + "/t1"));
  EXPECT_NE(std::string::npos, result.out.find("\"code\":\"kit-signature-required\"")) << result.out;
  EXPECT_NE(std::string::npos, result.err.find("This computer installs only kits signed with a trusted key."))
      << result.err;
  EXPECT_NE(std::string::npos, result.err.find("This kit is not signed.")) << result.err;
  result = install(strangers, "t2", {keyring(), "--require-signature"});
  EXPECT_EQ(1, result.status);
  EXPECT_FALSE(testkit::exists(root_ + "/t2"));
  EXPECT_NE(std::string::npos, result.err.find("Signed with a key that is not trusted on this computer: ")) << result.err;
  EXPECT_TRUE(nothingUnpacked("t1"));
  EXPECT_TRUE(nothingUnpacked("t2"));

  // Without the rule both install and say what they are.
  result = install(unsignedKit, "t3", {keyring()});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(installed("t3"));
  EXPECT_NE(std::string::npos, result.out.find("\"signature\":{\"state\":\"unsigned\",\"required\":false,\"file\":null"))
      << result.out;
  EXPECT_NE(std::string::npos, testkit::readFile(logOf("t3")).find("kit signature: unsigned, no signature beside the kit"));
  result = install(strangers, "t4", {keyring()});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(installed("t4"));
  EXPECT_NE(std::string::npos, result.out.find("\"state\":\"unknown-key\"")) << result.out;
  EXPECT_NE(std::string::npos, result.err.find("Signed with a key that is not trusted on this computer: ")) << result.err;
}

TEST_F(SignatureE2eTest, AMissingGpgvIsSaidAndRefusesOnlyWhenASignatureIsRequired) {
  const std::string kit = root_ + "/signed.okd";
  pack(kit, vendor_.get());
  const std::string missing = root_ + "/no/gpgv";
  Result result = install(kit, "t1", {keyring()}, missing);
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(installed("t1"));
  EXPECT_NE(std::string::npos, result.err.find("The kit's signature was not checked: the program gpgv is not installed."))
      << result.err;
  EXPECT_NE(std::string::npos, result.out.find("\"state\":\"not-checked\"")) << result.out;
  EXPECT_NE(std::string::npos, testkit::readFile(logOf("t1")).find(missing + " cannot be run: it is not installed"));

  result = install(kit, "t2", {keyring(), "--require-signature"}, missing);
  EXPECT_EQ(1, result.status);
  EXPECT_FALSE(testkit::exists(root_ + "/t2"));
  EXPECT_NE(std::string::npos, result.err.find("The kit's signature was not checked: the program gpgv is not installed."))
      << result.err;
  EXPECT_TRUE(nothingUnpacked("t2"));
}

}  // namespace
