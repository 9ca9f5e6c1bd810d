"""Build a circuit, evaluate its impedance and print it.

Run with: python examples/quickstart.py
"""
import numpy as np

import velotz

# A solution resistance in series with a charge-transfer resistance in
# parallel with a constant-phase element.
circuit = velotz.Circuit("R0-(R1,CPE1)").with_named_values(
    {"R0.r": 10.0, "R1.r": 100.0, "CPE1.q": 2e-5, "CPE1.alpha": 0.9}
)
print(circuit)

frequencies = np.logspace(-1, 5, 13)  # hertz
z = circuit.impedance(frequencies)
print(f"\n{'f / Hz':>12} {'Re Z / ohm':>12} {'-Im Z / ohm':>12}")
for f, zi in zip(frequencies, z):
    print(f"{f:12.4g} {zi.real:12.4f} {-zi.imag:12.4f}")
