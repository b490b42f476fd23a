"""Benchmark suite: velum against protobuf (upb and pure Python) and the marshal floor, and
velum's JSON against protobuf's json_format, orjson and msgspec.

Run it with `python -m bench` (full mode) or `python -m bench --quick` from the repository
root, or `make bench` / `make bench-quick`; `python -m bench --only json` (`make bench-json`)
measures the JSON rows alone and keeps the binary ones of the earlier run, and
`python -m bench --only loading` (`make bench-loading`) the schema-loading rows alone.
"""
