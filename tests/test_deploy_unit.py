"""deploy/zelweb.service is a unit that systemd accepts as written."""
import pathlib
import shutil
import subprocess
import sys

import pytest

UNIT = pathlib.Path(__file__).resolve().parent.parent / "deploy" / "zelweb.service"
APP_DIR = "/opt/myapp"


@pytest.mark.skipif(shutil.which("systemd-analyze") is None,
                    reason="systemd-analyze is not installed (apt-get install systemd)")
def test_service_unit_verifies(tmp_path):
    # verify also checks that ExecStart's program exists, so the copy points
    # the application's directory at one laid out as the unit expects.
    app = tmp_path / "myapp"
    for sub in ("venv/bin", "tmp", "cert"):
        (app / sub).mkdir(parents=True)
    (app / "venv/bin/python").symlink_to(sys.executable)
    command = app / "venv/bin/zelweb"  # what pip installs there, as far as verify looks
    command.write_text("#!/bin/sh\n")
    command.chmod(0o755)
    (app / "app.py").write_text("")
    text = UNIT.read_text()
    assert APP_DIR in text
    unit = tmp_path / UNIT.name
    unit.write_text(text.replace(APP_DIR, str(app)))
    proc = subprocess.run(["systemd-analyze", "verify", "--man=no", str(unit)],
                          capture_output=True, text=True, timeout=60)
    # An unknown key or a bad value is only a warning: any line naming the unit fails.
    output = proc.stdout + proc.stderr
    assert proc.returncode == 0, output
    assert [line for line in output.splitlines() if UNIT.name in line] == []
