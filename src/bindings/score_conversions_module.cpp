// The zel_core._score_conversions submodule: the element conversions that
// reading and restoring half-precision and bfloat16 scores rely on, over
// whole arrays, so that they can be checked against numpy's for every bit
// pattern. Private: nothing in the decoding loops needs them.
#include <cstdint>
#include <cstring>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings/registration.hpp"
#include "engine/score_array.hpp"

namespace zel::bindings {

namespace nb = nanobind;

namespace {

template <typename T>
using Column = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
template <typename T>
using Result = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

template <typename From, typename To, To (*convert)(From)>
Result<To> convert_all(Column<From> values) {
    const size_t count = values.shape(0);
    To *converted = new To[count];
    nb::capsule owner(converted, [](void *memory) noexcept { delete[] static_cast<To *>(memory); });
    for (size_t i = 0; i < count; ++i)
        converted[i] = convert(values(i));
    return Result<To>(converted, {count}, owner);
}

} // namespace

void bind_score_conversions(nb::module_ &module) {
    nb::module_ conversions = module.def_submodule(
        "_score_conversions", "Element conversions of half-precision and bfloat16 scores, per array.");
    conversions.def("half_to_float", &convert_all<uint16_t, float, half_to_float>, nb::arg("bits"),
                    "float32 values of float16 bit patterns (uint16).");
    conversions.def("float_to_half", &convert_all<float, uint16_t, float_to_half>, nb::arg("values"),
                    "float16 bit patterns (uint16) of float32 values, rounded to nearest even.");
    conversions.def("bfloat16_to_float", &convert_all<uint16_t, float, bfloat16_to_float>, nb::arg("bits"),
                    "float32 values of bfloat16 bit patterns (uint16).");
    conversions.def("float_to_bfloat16", &convert_all<float, uint16_t, float_to_bfloat16>, nb::arg("values"),
                    "bfloat16 bit patterns (uint16) of float32 values, rounded to nearest even.");
    nb::module_::import_("sys").attr("modules")["zel_core._score_conversions"] = conversions;
}

} // namespace zel::bindings
