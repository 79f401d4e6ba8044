// The class "Acquisition", its iterator "IterEvents" and the functions that list and test acquisitions.
#pragma once

#include "python_api/ref.hpp"

#include <memory>

#include "acquisition/acquisition.hpp"

namespace vuzevuz::py {

// What an "Acquisition" object holds, fixed at construction.
struct AcquisitionFields {
    Acquisition acquisition;
    Params parameters;
    Ref metadata;  // what the host's yaml.safe_load made of "metadata.yml"
};

struct PyAcquisitionObject {
    PyObject_HEAD
    AcquisitionFields* fields;
};

// Converter for an argument that must be an "Acquisition" object (borrowed).
bool to_acquisition(PyObject* o, PyAcquisitionObject*& out);

}  // namespace vuzevuz::py
