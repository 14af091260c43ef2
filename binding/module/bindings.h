// Registration functions of the Python module, one per area.
#pragma once

#include <pybind11/pybind11.h>

void register_values(pybind11::module_& m);
void register_model(pybind11::module_& m);
