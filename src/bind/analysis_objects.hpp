// The common part of the analysis objects of the qual and quan modules.
#pragma once

#include <nanobind/nanobind.h>

#include "objects.hpp"

namespace zarn::py {

namespace nb = nanobind;

// What every analysis object holds first: the FunctionIndex it was made
// for, the index as passed, and that function index's reader. Its class
// factory fills them before the analysis reads the function's data.
struct FunctionAnalysis {
    nb::object function_index, index, reader;

    void hold(nb::handle function_index_object, nb::handle index_object) {
        function_index = nb::borrow(function_index_object);
        index = nb::borrow(index_object);
        reader = nb::getattr(function_index_object, "_FunctionIndex__reader");
    }
    int traverse(visitproc visit, void *arg) const { return visit_objects(visit, arg, function_index, index, reader); }
    void clear() { reset_objects(function_index, index, reader); }
};

}  // namespace zarn::py
