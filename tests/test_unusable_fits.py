"""A fit whose cost or parameters are not finite is never reported as a success."""
import math
import warnings

import numpy as np
import pytest

import velotz

METHODS = ["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping"]
SMALL = dict(seed=3, guess_init=False, de_evaluations=1500, num_particles=20, generations=40,
             basin_hopping_hops=3, sa_iterations=500, nelder_mead_iterations=300)

F = np.logspace(0, 4, 20)
TRUE = [1.0, 2.0, 1e-3]


def randles_z(f, r0, r1, c1):
    w = 2 * np.pi * np.asarray(f)
    return r0 + r1 / (1 + 1j * w * r1 * c1)


def case(name):
    c = velotz.Circuit("R0-(R1,C1)").with_values(TRUE)
    z = randles_z(F, *TRUE)
    if name == "nan-impedance":
        z = z.copy()
        z[3] = complex(math.nan, 0.0)
        return c, (F, z)
    if name == "nan-in-dataframe":
        re = list(z.real)
        re[5] = math.nan
        return c, ({"Frequency / Hz": list(F), "Real Impedance / ohm": re,
                    "Imaginary Impedance / ohm": list(z.imag)},)
    if name == "all-infinite":
        return c, (F, np.full(len(F), complex(math.inf, math.inf)))
    if name == "nan-frequency":
        f = F.copy()
        f[2] = math.nan
        return c, (f, z)
    if name == "empty-parallel":
        return velotz.Series([velotz.Element.R(1.0), velotz.Parallel([])]), (F, z)
    if name == "infinite-start":
        return velotz.Circuit("R0-(R1,C1)").with_values([math.inf, 2.0, 1e-3]), (F, z)
    raise AssertionError(name)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("name", ["nan-impedance", "nan-in-dataframe", "all-infinite", "nan-frequency",
                                  "empty-parallel", "infinite-start"])
def test_unusable_outcome_is_not_a_success(name, method):
    circuit, data = case(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = circuit.fit(*data, method=method, **SMALL)
        except ValueError:
            return  # refusing is as good as reporting failure
    finite = math.isfinite(result.cost) and all(math.isfinite(v) for v in result.params.values())
    assert not finite
    assert result.success is False


@pytest.mark.parametrize("method", ["differential_evolution", "basin_hopping"])
def test_clean_data_still_succeeds(method):
    circuit, data = case("nan-impedance")
    result = circuit.fit(F, randles_z(F, *TRUE), method=method, **SMALL)
    assert result.success is True
    assert math.isfinite(result.cost)
