#pragma once
// Starting values for any circuit from the shape of a measured spectrum:
// series resistance from the high-frequency intercept, inductance from an
// inductive tail, arcs at the spectrum's own relaxation frequencies (peaks
// of -Im Z) with sizes and depressions from each peak's height and width,
// and low-frequency tails (capacitors, CPEs, Warburg terms) from the slope
// and size of the lowest-frequency points. Several assignments of the
// detected relaxations to the circuit's arcs are costed and the cheapest is
// refined by short Levenberg–Marquardt runs.
#include <cstdint>
#include <vector>

#include "circuit/circuit.hpp"
#include "fit/residuals.hpp"

namespace velotz {

// What the spectrum shows, in the units of the data (hertz-free: angular
// frequencies).
struct SpectrumShape {
    struct Relaxation {
        double omega;  // angular frequency of the -Im Z peak
        double r;      // arc resistance implied by the peak's height and depression
        double alpha;  // depression exponent, 0.3-1
    };
    bool usable = false;   // at least three finite points with f > 0
    double omega_lo = 0, omega_hi = 0;
    double z_scale = 1;    // median |Z|
    double r_hf = 0;       // high-frequency real intercept: Re Z where |Im Z| is smallest in the upper half
    double r_hf_min = 0;   // the smallest positive Re Z of the top quarter (an arc may end above the window)
    double r_lf = 0;       // low-frequency real part
    double inductance = 0; // from positive Im Z at the top frequencies; 0 when none
    bool inductive = false;
    double tail_im = 0;    // -Im Z at the lowest frequency (after removing the inductance)
    double tail_slope = 0; // d ln(-Im Z) / d ln(omega) over the lowest points
    double tail_omega = 0; // the lowest angular frequency
    std::vector<Relaxation> relaxations;  // highest frequency first
    std::vector<double> log_omega, re;    // the points, ascending frequency

    // Re Z interpolated linearly in ln(omega), constant beyond the ends.
    double re_at(double ln_omega) const;
};

SpectrumShape analyse_spectrum(const std::vector<double>& freqs_hz, const std::vector<Cx>& impedances);

struct StartEstimate {
    std::vector<double> values;   // param_names() order, inside the circuit's bounds
    double cost = 0;              // 0.5·Σr² at values
    std::uint64_t candidates = 0; // heuristic vectors costed
};

// Starting values for the circuit's parameters. Falls back to the circuit's
// own values when the spectrum has fewer than three usable points.
StartEstimate estimate_start(const NodeList& circuit, const std::vector<double>& freqs_hz,
                             const std::vector<Cx>& impedances, Weighting weighting);

}  // namespace velotz
