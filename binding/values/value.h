// The value record as accessor code uses it: the record itself is the shared
// contract (zibrel/value_record.h); its conversions, defined in value.cpp, throw
// conversion_error when a record does not hold the type an accessor needs.
#pragma once

#include <stdexcept>

#include "zibrel/value_record.h"

namespace zibrel {

class conversion_error : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace zibrel
