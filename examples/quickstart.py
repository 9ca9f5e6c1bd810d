"""Fit an equivalent circuit to a synthetic impedance spectrum.

Run with: python examples/quickstart.py
"""
import numpy as np

import velotz

# A "measured" spectrum: a solution resistance in series with a
# charge-transfer resistance parallel to a constant-phase element, plus 1 %
# complex noise.
true = {"R0.r": 10.0, "R1.r": 100.0, "CPE1.q": 2e-5, "CPE1.alpha": 0.9}
frequencies = np.logspace(-2, 5, 60)  # hertz
rng = np.random.default_rng(7)
noise = 1 + 0.01 * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
impedances = velotz.Circuit("R0-(R1,CPE1)").with_named_values(true).impedance(frequencies) * noise

# Fit the circuit. Its values are placeholders, so the fit starts from the
# trained network's guess for this topology.
circuit = velotz.Circuit("R0-(R1,CPE1)")
print("network guess:", circuit.guess(frequencies, impedances))
result = circuit.fit(frequencies, impedances)
print(result)
print(f"\n{'parameter':<12}{'true':>12}{'fitted':>14}{'std. error':>14}")
for name in circuit.param_names():
    err = result.stderr[name] if result.stderr else float("nan")
    print(f"{name:<12}{true[name]:>12.4g}{result.params[name]:>14.6g}{err:>14.2g}")

# The fitted circuit is an ordinary Circuit.
print()
print(result.circuit)
