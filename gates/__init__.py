"""Quality gates: checks run on the built package (see the README, Quality gates)."""
