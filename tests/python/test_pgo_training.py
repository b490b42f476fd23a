"""The training run of the profile-guided build works against the installed package.

The build runs tools/pgo_train.py against an instrumented extension and fails if it
fails; running it here too names the cause in the test report, also for the builds
that skip the profile (sanitizers, other compilers).
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "pgo_train.py"


def test_training_run_completes() -> None:
    done = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stderr.startswith("trained on 43 messages"), done.stderr
