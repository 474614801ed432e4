// Why an operation failed, in the interface language: short texts of our
// own for the causes a user can act on, a sentence with the number for
// anything else.
#ifndef OVN8_RESOURCES_REASONS_H_
#define OVN8_RESOURCES_REASONS_H_

#include <cstdint>
#include <string>

// The text key of the cause of `error`, or null when it has none of its own.
const char* reason_key(uint32_t error);
// The reason for `error` as the user reads it: "No space left on the disk."
// or, for a cause without a text of ours, "The operation failed (code 71)."
// (the errno of a system error, else our number).
std::u16string failure_reason(uint32_t error);

#endif  // OVN8_RESOURCES_REASONS_H_
