// numpy's ufunc interface, reached at run time through the tables that numpy
// publishes in capsules, without numpy's headers: the module builds without
// numpy installed, for every platform, and serves numpy 1.x and 2.x alike.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "boundary/host.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"

namespace vindral::numpy_api {

// numpy's inner-loop type (PyUFuncGenericFunction). Its npy_intp is
// Py_intptr_t in numpy 1.x and Py_ssize_t in 2.x; the loops take intptr_t.
using InnerLoop = void (*)(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                           void* data);
static_assert(sizeof(std::intptr_t) == sizeof(Py_ssize_t) && std::is_signed_v<std::intptr_t> &&
                  std::is_signed_v<Py_ssize_t>,
              "numpy's npy_intp is both intptr_t and Py_ssize_t: they must be one width");
static_assert(sizeof(unsigned int) == 4, "numpy's version getters return a 32-bit unsigned int");

// The type number of float64 (NPY_DOUBLE): 12 in numpy 1.x and 2.x alike.
inline constexpr char float64 = 12;

// numpy's hook that checks and sets a generalized ufunc's core dimensions
// (PyUFunc_ProcessCoreDimsFunc, numpy 2.1): given one size per dimension
// name of the signature, -1 for an output's that no operand fixes, it sets
// those and gives 0, or gives -1 with an error set.
using CoreDimensions = int (*)(PyObject* ufunc, std::intptr_t* core_dim_sizes);

// A ufunc of `Inputs` float64 operands and one float64 result, with a single
// inner loop; a generalized ufunc where it has a signature. numpy keeps
// pointers to these arrays and texts for as long as the ufunc lives, so a
// definition is static and never moves.
template <std::size_t Inputs>
struct Float64Ufunc {
    const char* name;
    const char* doc;
    std::array<InnerLoop, 1> loops;
    // The signature of a generalized ufunc, such as "(),(),(n)->(m)"; null
    // for one that goes element by element.
    const char* signature = nullptr;
    std::array<void*, 1> data{nullptr};
    std::array<char, Inputs + 1> types = float64_types();

    static constexpr std::array<char, Inputs + 1> float64_types() {
        std::array<char, Inputs + 1> types{};
        types.fill(float64);
        return types;
    }
};

// The part of numpy's ufunc table that the module uses.
class UfuncApi {
public:
    // Empty: what a failed import holds in place of the table.
    UfuncApi() noexcept = default;

    // Imports numpy and finds its ufunc table. Without numpy: an ImportError
    // that says how to get it, with the import system's ModuleNotFoundError
    // as its cause. A numpy whose binary interface is neither 1.x's nor
    // 2.x's: an ImportError that says so. Any other error of numpy's import
    // (a broken install, a numpy that refuses this interpreter) passes
    // unchanged: numpy's own message says more.
    static PyResult<UfuncApi> import();

    // A new ufunc object made from `definition`.
    template <std::size_t Inputs>
    PyResult<Owned> make_ufunc(Float64Ufunc<Inputs>& definition) const {
        return make(definition.loops.data(), definition.data.data(), definition.types.data(),
                    static_cast<int>(Inputs), definition.name, definition.doc,
                    definition.signature);
    }

    // Gives `gufunc`, made by make_ufunc with a signature, the hook that
    // checks and sets its core dimensions, where this numpy has such hooks
    // (2.1 and newer); whether it has.
    bool set_core_dimensions(PyObject* gufunc, CoreDimensions hook) const noexcept;

private:
    // PyUFunc_FromFuncAndDataAndSignature: entry 31 of the table in numpy 1.x
    // and 2.x; a null signature makes an element-by-element ufunc.
    using FromFuncAndDataAndSignature = PyObject* (*)(InnerLoop* func, void* const* data,
                                                      const char* types, int ntypes, int nin,
                                                      int nout, int identity, const char* name,
                                                      const char* doc, int unused,
                                                      const char* signature);

    UfuncApi(FromFuncAndDataAndSignature from_func_and_data_and_signature,
             unsigned int features) noexcept
        : from_func_and_data_and_signature_(from_func_and_data_and_signature),
          features_(features) {}

    PyResult<Owned> make(InnerLoop* loops, void* const* data, const char* types, int inputs,
                         const char* name, const char* doc, const char* signature) const;

    FromFuncAndDataAndSignature from_func_and_data_and_signature_ = nullptr;
    unsigned int features_ = 0;  // numpy's C-API feature version
};

}  // namespace vindral::numpy_api
