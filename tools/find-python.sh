#!/bin/sh
# Prints the path of a Python interpreter of version 3.12 or later, newest first.
# pyenv shims may exist for a version that is not selected, so every candidate is
# run once before it is trusted.
ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }
for v in 3.13 3.12; do
  if command -v "python$v" >/dev/null 2>&1 && ok "python$v"; then
    command -v "python$v"; exit 0
  fi
  for p in "$HOME"/.pyenv/versions/"$v"*/bin/python"$v" /usr/local/bin/python"$v" /usr/bin/python"$v"; do
    if [ -x "$p" ] && ok "$p"; then echo "$p"; exit 0; fi
  done
done
echo "error: velum needs Python 3.12 or later (python3.13 or python3.12 on PATH); none was found" >&2
exit 1
