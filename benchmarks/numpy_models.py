"""The benchmark circuits written as vectorised numpy, the peers' model.

Parameters are in velotz's param_names() order; w is the angular frequency.
"""
import numpy as np


def cpe(q, a, s):
    return 1 / (q * s ** a)


def warburg(aw, w):
    return aw * (1 - 1j) / np.sqrt(w)


def warburg_open(z0, tau, s):
    u = np.sqrt(s * tau)
    return z0 / (u * np.tanh(u))


def par(a, b):
    return 1 / (1 / a + 1 / b)


def model_rq(p, w):
    s = 1j * w
    return p[0] + par(p[1], cpe(p[2], p[3], s))


def model_two_rq(p, w):
    s = 1j * w
    return p[0] + par(p[1], cpe(p[2], p[3], s)) + par(p[4], cpe(p[5], p[6], s))


def model_randles(p, w):
    s = 1j * w
    return p[0] + par(p[1] + warburg(p[2], w), cpe(p[3], p[4], s))


def model_sei_wo(p, w):
    s = 1j * w
    return (p[0] + par(p[1], cpe(p[2], p[3], s))
            + par(p[4] + warburg_open(p[5], p[6], s), cpe(p[7], p[8], s)))


def modulus_weighted_cost(model, p, w, z):
    """0.5·Σr² of the residuals (model - data)/|data|, real and imaginary parts."""
    r = (model(np.asarray(p), w) - z) / np.abs(z)
    return 0.5 * float(np.sum(r.real ** 2 + r.imag ** 2))
