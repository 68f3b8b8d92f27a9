#include "bindings/score_arrays.hpp"
#include "bindings/error_notes.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace nb = nanobind;

namespace zel::bindings {

namespace {

bool in_host_memory(int device_type) {
    return device_type == nb::device::cpu::value || device_type == nb::device::cuda_host::value;
}

std::string describe(const nb::dlpack::dtype &type) {
    static const char *const codes[] = {"int", "uint", "float", "opaque handle", "bfloat", "complex",
                                        "bool"};
    std::string name = type.code < 7 ? codes[type.code] : "type code " + std::to_string(type.code);
    name += std::to_string(type.bits);
    if (type.lanes != 1)
        name += "x" + std::to_string(type.lanes);
    return name;
}

template <typename T> int64_t load_first(const void *data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    if constexpr (std::is_same_v<T, uint64_t>) {
        if (value > uint64_t(std::numeric_limits<int64_t>::max()))
            return std::numeric_limits<int64_t>::max();
    }
    return static_cast<int64_t>(value);
}

// What the buffer protocol says of an object that the array caster refused,
// when that explains the refusal: elements in the other byte order.
std::string buffer_refusal(nb::handle object) {
    if (!PyObject_CheckBuffer(object.ptr()))
        return "";
    Py_buffer buffer;
    if (PyObject_GetBuffer(object.ptr(), &buffer, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return "";
    }
    std::string format = buffer.format ? buffer.format : "B";
    PyBuffer_Release(&buffer);
    constexpr char foreign = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? '>' : '<';
    if (!format.empty() && (format[0] == foreign || format[0] == '!'))
        return ": its elements are in the other byte order (format '" + format +
               "'); convert it to the native byte order first";
    return "";
}

} // namespace

nb::object with_buffer_strides(nb::handle object) {
    if (PyCapsule_CheckExact(object.ptr()) || !PyObject_CheckBuffer(object.ptr()))
        return nb::borrow(object);
    Py_buffer buffer;
    if (PyObject_GetBuffer(object.ptr(), &buffer, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return nb::borrow(object);
    }
    bool missing = buffer.ndim > 0 && !buffer.strides;
    PyBuffer_Release(&buffer);
    if (!missing)
        return nb::borrow(object);
    return nb::steal(PyMemoryView_FromObject(object.ptr()));
}

ScoreArrayArgument view_score_array(nb::handle object, const char *argument_name) {
    ScoreArrayArgument argument;
    nb::object viewed = with_buffer_strides(object);
    if (!viewed.is_valid())
        throw nb::python_error();
    if (!nb::try_cast(viewed, argument.array, false)) {
        nb::ndarray<nb::ro> read_only;
        if (nb::try_cast(viewed, read_only, false))
            throw std::runtime_error(std::string(argument_name) +
                                     " is read-only; the Engine writes into it in place");
        throw nb::type_error((std::string(argument_name) +
                              " must be an array (buffer protocol or DLPack), not " +
                              nb::inst_name(object).c_str() + buffer_refusal(object))
                                 .c_str());
    }
    const nb::ndarray<> &array = argument.array;
    if (!in_host_memory(array.device_type()))
        throw std::runtime_error(std::string(argument_name) +
                                 " does not live in host memory; move it to the CPU first");
    ScoreArray &view = argument.view;
    view.data = const_cast<void *>(array.data());
    view.code = array.dtype().code;
    view.bits = array.dtype().bits;
    view.lanes = array.dtype().lanes;
    for (size_t axis = 0; axis < array.ndim(); ++axis) {
        view.shape.push_back(array.shape(axis));
        view.strides.push_back(array.stride(axis));
    }
    return argument;
}

void renew_score_array(ScoreArrayArgument &argument, nb::handle object, const char *argument_name) {
    ScoreArrayArgument fresh = view_score_array(object, argument_name);
    ScoreArray &view = argument.view;
    if (fresh.view.shape != view.shape || fresh.view.code != view.code || fresh.view.bits != view.bits ||
        fresh.view.lanes != view.lanes)
        throw std::runtime_error(std::string(argument_name) +
                                 " changed shape or element type while the Engine was using it; "
                                 "Python code run during the call must leave it as it is");
    argument.array = std::move(fresh.array);
    view.data = fresh.view.data;
    view.strides = std::move(fresh.view.strides);
}

int64_t read_sampled_token(nb::handle result) {
    nb::ndarray<nb::ro> array;
    nb::object viewed = with_buffer_strides(result);
    if (!viewed.is_valid())
        throw nb::python_error();
    if (!nb::try_cast(viewed, array, true))
        raise_bad_cast("the sampler returned " + type_description(result) +
                       ", expected an array holding the chosen token id, such as [[id]] of int32");
    if (!in_host_memory(array.device_type()))
        throw std::runtime_error("the sampler returned an array outside host memory");
    if (array.size() == 0)
        throw std::runtime_error("the sampler returned an empty array; it must hold the chosen token id");
    nb::dlpack::dtype type = array.dtype();
    const void *first = array.data();
    if (type.lanes == 1 && type.code == uint8_t(nb::dlpack::dtype_code::Int)) {
        if (type.bits == 32)
            return load_first<int32_t>(first);
        if (type.bits == 64)
            return load_first<int64_t>(first);
    }
    if (type.lanes == 1 && type.code == uint8_t(nb::dlpack::dtype_code::UInt)) {
        if (type.bits == 32)
            return load_first<uint32_t>(first);
        if (type.bits == 64)
            return load_first<uint64_t>(first);
    }
    throw std::runtime_error("the sampler must return an array of 32- or 64-bit integers, not " +
                             describe(type));
}

} // namespace zel::bindings
