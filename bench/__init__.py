"""Benchmark suite: velum against protobuf (upb and pure Python) and the marshal floor.

Run it with `python -m bench` (full mode) or `python -m bench --quick` from the repository
root, or `make bench` / `make bench-quick`.
"""
