// The method definitions that the module initialiser registers, in order.
#pragma once

#include "python_api/ref.hpp"

namespace vuzevuz::py {

extern PyMethodDef list_acquisitions_def;
extern PyMethodDef is_acquisition_def;
extern PyMethodDef export_csv_def;
extern PyMethodDef syndrome_def;
extern PyMethodDef global_parity_def;
extern PyMethodDef syndrome_to_index_def;
extern PyMethodDef ecc_check_def;
extern PyMethodDef ecc_correct_def;

// The type object of "Acquisition", created on first request.
PyTypeObject* acquisition_type();

}  // namespace vuzevuz::py
