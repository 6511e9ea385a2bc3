import subprocess
import sys

import pytest

from conftest import source_file

DEMO = source_file("benchmarks/demo.py")
README = source_file("README.md")


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_demo_runs():
    out = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, check=True, timeout=120).stdout
    assert "rotates (1, 0, 0) to Vec3d(0.0000000000000002220446049250313, 1, 0)" in out
    assert "meets Vec3d(1, 2, 3)" in out


@pytest.mark.thread_unsafe(reason="doctest redirects sys.stdout")
def test_readme_examples():
    import doctest

    text = README.read_text()
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", "README.md", 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
