#pragma once
// Arcs for starting values read from the distribution of relaxation times
// (DRT) of a spectrum. Peaks of -Im Z merge when two arcs lie within about
// a decade and a half of each other; the DRT separates them. estimate_start
// builds a second set of candidates from these peaks and keeps them only
// when, after the same short refinement, they reach a lower cost than the
// candidates read from -Im Z.
#include <cstddef>
#include <vector>

#include "start/start_estimate.hpp"

namespace velotz {

struct DrtPeak {
    double tau;     // s, where gamma is largest
    double r;       // ohm, the integral of gamma between the minima on either side
    double width;   // full width at half maximum in decades of tau
    bool at_edge;   // gamma still rises towards an end of the grid (a tail, not an arc)
};

// Peaks of gamma on an ascending tau grid: local maxima reaching `fraction`
// of the largest maximum inside the grid (of the largest one on its ends
// when there is none inside), with their areas and widths (both bounded
// by the minima on either side).
std::vector<DrtPeak> drt_peaks(const std::vector<double>& tau, const std::vector<double>& gamma, double fraction);

// Full width at half maximum, in decades of tau, of the DRT of a Zarc of
// exponent alpha: 2 acosh(2 - cos((1 - alpha) pi)) / (alpha ln 10).
double zarc_drt_width(double alpha);

// The exponent (0.4 ... 1) of the Zarc whose DRT is `width` decades wide.
double zarc_alpha_from_width(double width);

// The arcs the DRT of the spectrum shows, highest frequency first, as the
// relaxations estimate_start places arcs at: omega = 1/tau of each peak,
// its area as the resistance, and the depression from its width (less the
// width the basis functions add). Peaks that hold less than 5 % of the
// area of all peaks (tails aside), and maxima on the ends of the grid (the rise of a capacitive
// or diffusion tail), are left out. Empty when the DRT fails. The DRT runs
// on at most 512 of the points (every k-th) and on a grid of about six
// centres per decade, which is enough to place arcs and keeps it cheap.
std::vector<SpectrumShape::Relaxation> drt_relaxations(const std::vector<double>& freqs_hz,
                                                       const std::vector<Cx>& impedances);

}  // namespace velotz
