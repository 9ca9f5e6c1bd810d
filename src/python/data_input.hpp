#pragma once
// Conversion of measured data from Python: two sequences, or one dataframe
// (anything whose frame["column"] gives a sequence of numbers) with Battery
// Data Format column names.
#include <string>
#include <vector>

#include "circuit/measured.hpp"
#include "python/pyref.hpp"

namespace velotz::py {

struct ColumnPair {
    const char* primary;
    const char* alternative;
};

inline constexpr ColumnPair kFrequencyColumn{"Frequency / Hz", "frequency_hertz"};
inline constexpr ColumnPair kRealColumn{"Real Impedance / ohm", "real_impedance_ohm"};
inline constexpr ColumnPair kImagColumn{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
inline constexpr ColumnPair kModulusColumn{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
inline constexpr ColumnPair kPhaseColumn{"Phase / deg", "phase_degree"};

// "Frequency / Hz" or "frequency_hertz" (with the quotes).
std::string pair_label(const ColumnPair& pair);

enum class ColumnStatus { Found, Absent, Error };

// Reads one column: the primary name first, then the alternative. A column
// that is present but not numeric raises ValueError (status Error).
ColumnStatus column(PyObject* frame, const ColumnPair& pair, std::vector<double>& out);

// Two sequences when `impedances` is given (not null and not None),
// otherwise a dataframe in `frequencies`. Returns false with an exception set.
bool spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out);

}  // namespace velotz::py
