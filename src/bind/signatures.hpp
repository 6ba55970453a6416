// The Python signatures that the public classes show in help() and in the
// type stubs, where nanobind would show a handle as `object`. A type is
// written with its module (zarn_data_access.common.ValueRange), so that the
// stub generator imports it.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zarn::py {

namespace nb = nanobind;

// The signature `def <name>(self) -> <type>` of a property's getter, for a
// property defined under a name known only at run time. It must outlive the
// definition that takes sig().
class GetterSignature {
public:
    GetterSignature(const char *name, const char *type) : text_(std::string("def ") + name + "(self) -> " + type) {}
    nb::sig sig() const { return nb::sig(text_.c_str()); }

private:
    std::string text_;
};

// The same with the setter `def <name>(self, <name>: <type>, /) -> None`.
class SetterSignature {
public:
    SetterSignature(const char *name, const char *type)
        : text_(std::string("def ") + name + "(self, " + name + ": " + type + ", /) -> None") {}
    nb::sig sig() const { return nb::sig(text_.c_str()); }

private:
    std::string text_;
};

}  // namespace zarn::py
