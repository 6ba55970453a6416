// The common part of the analysis objects of the qual and quan modules.
#pragma once

#include <nanobind/nanobind.h>

#include "index_objects.hpp"
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
        reader = function_index_reader(function_index_object);
    }
    static constexpr const char *kName = "analysis";
    bool cleared() const { return !function_index.is_valid(); }
    int traverse(visitproc visit, void *arg) const { return visit_objects(visit, arg, function_index, index, reader); }
    void clear() { reset_objects(function_index, index, reader); }
};

// The class factory of an analysis: a new object that holds the function
// index, the index as passed and the function index's reader, then reads
// with `Read`. The qualitative factories make an object of their own class;
// the quantitative ones (classmethods) one of the class they are called on,
// a subclass included (create_analysis_of).
template <typename T, void (*Read)(T &)>
nb::object create_analysis(nb::handle function_index, nb::handle index) {
    return create<T>([&](T &a) {
        a.hold(function_index, index);
        Read(a);
    });
}

template <typename T, void (*Read)(T &)>
nb::object create_analysis_of(nb::handle cls, nb::handle function_index, nb::handle index) {
    return create_of<T>(cls, [&](T &a) {
        a.hold(function_index, index);
        Read(a);
    });
}

}  // namespace zarn::py
