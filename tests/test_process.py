import subprocess
import sys

import pytest

SUBINTERPRETER_MODULES = ("_interpreters", "_xxsubinterpreters", "interpreters")

# Runs in a fresh process: the main interpreter imports quorral first, then a
# second interpreter tries the same import and reports what it raised.
SCRIPT = """
import importlib
import quorral

for name in {names!r}:
    try:
        interpreters = importlib.import_module(name)
    except ImportError:
        continue
    break
else:
    raise SystemExit("no-subinterpreters")

probe = '''
try:
    import quorral
except ImportError as error:
    result = "ImportError: " + str(error)
except BaseException as error:
    result = "other: " + type(error).__name__
else:
    result = "imported"
with open({path!r}, "w") as out:
    out.write(result)
'''
for config in ("isolated", "legacy"):
    interp = interpreters.create(config)
    try:
        failure = interpreters.run_string(interp, probe)
    finally:
        interpreters.destroy(interp)
    assert failure is None, failure
    with open({path!r}) as result:
        print(config, result.read())
"""


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_second_interpreter_cannot_import(tmp_path):
    script = SCRIPT.format(names=SUBINTERPRETER_MODULES, path=str(tmp_path / "result.txt"))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    if "no-subinterpreters" in proc.stderr:
        pytest.skip("this interpreter offers no subinterpreter module")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert [line.split(" ", 1)[0] for line in lines] == ["isolated", "legacy"]
    for line in lines:
        assert line.split(" ", 1)[1].startswith("ImportError: "), line
        assert "subinterpreter" in line
