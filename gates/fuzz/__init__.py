"""The fuzz suite: run it through gates/run_fuzz.py (make fuzz)."""
