#pragma once
#include <vector>

#include "elements/complex.hpp"

namespace velotz {

// A measured spectrum: frequencies in hertz and complex impedances in ohm,
// element i of each belonging together, in the caller's order.
struct Spectrum {
    std::vector<double> frequencies;
    std::vector<Cx> impedances;
};

}  // namespace velotz
