// Error types of the C++ core. The core knows nothing of Python; each binding
// module maps these types to the Python exception types in one place
// (src/bind/support.hpp).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace zarn {

// Format and reading errors: ZarnException.
struct ZarnError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file format is newer than the library reads: ZarnVersionException.
struct ZarnVersionError : ZarnError {
    using ZarnError::ZarnError;
};

// Zstandard failures: the zstd module's own error type.
struct ZstdError : ZarnError {
    using ZarnError::ZarnError;
};

// A read that begins where no byte is left: IndexError.
struct IndexError : std::runtime_error {
    IndexError() : std::runtime_error("index out of range") {}
    using std::runtime_error::runtime_error;
};

// A value that is not a member of an enumeration: the enumeration's own
// lookup error (ValueError "<value> is not a valid <Name>").
struct EnumLookupError : std::runtime_error {
    EnumLookupError(std::string enum_name, int64_t value)
        : std::runtime_error(std::to_string(value) + " is not a valid " + enum_name),
          enum_name(std::move(enum_name)), value(value) {}
    std::string enum_name;
    int64_t value;
};

// Plain ValueError (date-time range, argument checks).
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// struct.error: binary32/64 unpacking of short data.
struct StructError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// AttributeError: a field that does not exist (yet).
struct AttributeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// TypeError.
struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The interpreter's plain Exception ("Inaccessible due to protection level",
// misuse of the public API).
struct PlainError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Text bytes invalid in their encoding. The binding decodes `bytes` again
// with the interpreter's codec so that the caller sees its own
// UnicodeDecodeError with its exact message.
struct TextDecodeError : std::runtime_error {
    TextDecodeError(const char *encoding, std::string bytes)
        : std::runtime_error(std::string("invalid ") + encoding + " text"),
          encoding(encoding), bytes(std::move(bytes)) {}
    const char *encoding;
    std::string bytes;
};

}  // namespace zarn
