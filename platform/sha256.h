// SHA-256 (FIPS 180-4), self-contained: the installation record names the
// kit by its digest, and the libraries the engine links offer none outside
// the interface's toolkit. Processors with SHA instructions hash a kit
// about eight times faster; the portable rounds are the fallback.
#ifndef OVN8_PLATFORM_SHA256_H_
#define OVN8_PLATFORM_SHA256_H_

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  enum class Rounds { kFastest, kPortable };
  explicit Sha256(Rounds rounds = Rounds::kFastest);
  void update(const void* data, size_t size);
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string finishHex();

  // Whether this processor runs the SHA instructions the fastest rounds use.
  static bool processorHasShaInstructions();

 private:
  typedef void (*CompressBlocks)(uint32_t state[8], const uint8_t* blocks, size_t count);
  CompressBlocks compress_;

  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t totalBytes_ = 0;
};

// The digest of the file at `path`, read through the file layer.
uint32_t sha256_of_file(const std::u16string& path, std::string& hex);

#endif  // OVN8_PLATFORM_SHA256_H_
