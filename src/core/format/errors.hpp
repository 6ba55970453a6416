// The kinds of failure of the C++ core. The core knows nothing of Python:
// each kind says what went wrong in the core's own terms, and the one
// translation table of the bindings (src/bind/support.hpp) turns every kind
// into the Python exception type that callers see.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace zarn {

// The bytes are not a valid Zarn file or block: a format or reading error.
struct ZarnError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file's format version is newer than the library reads.
struct ZarnVersionError : ZarnError {
    using ZarnError::ZarnError;
};

// A compressed segment could not be decompressed, or holds more than it may.
struct DecompressionError : ZarnError {
    using ZarnError::ZarnError;
};

// A read that begins where no byte is left, or a position outside a list.
struct OutOfRange : std::runtime_error {
    OutOfRange() : std::runtime_error("index out of range") {}
    using std::runtime_error::runtime_error;
};

// A stored value that is not a member of its enumeration; the message is
// "<value> is not a valid <Name>".
struct EnumLookupError : std::runtime_error {
    EnumLookupError(std::string enum_name, int64_t value)
        : std::runtime_error(std::to_string(value) + " is not a valid " + enum_name),
          enum_name(std::move(enum_name)),
          value(value) {}
    std::string enum_name;
    int64_t value;
};

// A value outside what its kind admits (a date-time beyond its calendar, an
// argument out of its range).
struct InvalidValue : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A raw array of binary32 or binary64 values with fewer bytes than its count
// needs.
struct ShortRawArray : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A field that a record has not been given (yet), such as the format version
// before the header was read.
struct MissingField : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A read that needs the file's format version before the reader was told it.
struct VersionNotSet : MissingField {
    VersionNotSet() : MissingField("the reader has not been told the format version") {}
};

// A value of another kind than the operation takes.
struct WrongKind : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A use of the library that its callers must not make: a refused
// construction, an index out of range, nothing to answer with.
struct Misuse : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Text bytes invalid in their encoding. The binding decodes `bytes` again
// with the interpreter's codec so that the caller sees its own
// UnicodeDecodeError with its exact message.
struct TextDecodeError : std::runtime_error {
    TextDecodeError(const char *encoding, std::string bytes)
        : std::runtime_error(std::string("invalid ") + encoding + " text"),
          encoding(encoding),
          bytes(std::move(bytes)) {}
    const char *encoding;
    std::string bytes;
};

}  // namespace zarn
