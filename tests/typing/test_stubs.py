"""The stub package: it matches the module, and type checkers use it to accept
correct calls with exact result types and to reject wrong ones."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent
USAGE_OK = HERE / "usage_ok.py"
USAGE_BAD = HERE / "usage_bad.py"
pytest.importorskip("mypy", reason="mypy is not installed (./dev typecheck installs it)")


def run(*args, env=None):
    return subprocess.run(args, capture_output=True, text=True, cwd=HERE, env=env, timeout=600)


def expected_errors():
    """(line, code) for every line of usage_bad.py marked "# E: code"."""
    found = set()
    for number, line in enumerate(USAGE_BAD.read_text().splitlines(), 1):
        marker = re.search(r"# E: ([a-z-]+)", line)
        if marker:
            found.add((number, marker.group(1)))
    assert found, "usage_bad.py marks no errors"
    return found


@pytest.fixture(scope="session")
def mypy(tmp_path_factory):
    # A cache of this session only: a stale one could hide a change of the
    # installed stubs.
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(path):
        return run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
                   "--no-error-summary", "--show-error-codes", str(path))

    return check


def installed_stub():
    spec_dirs = [Path(p) / "batchaugmentor-stubs" / "__init__.pyi" for p in sys.path]
    found = [p for p in spec_dirs if p.is_file()]
    assert found, "batchaugmentor-stubs is not installed next to the module"
    return found[0]


class TestStubtest:
    def test_stubs_match_the_module(self):
        result = run(sys.executable, "-m", "mypy.stubtest", "batchaugmentor")
        assert result.returncode == 0, result.stdout + result.stderr
        assert "Success" in result.stdout

    @pytest.mark.parametrize(
        "before, after",
        [
            ("crop_boxes: Sequence", "boxes: Sequence"),  # a parameter name the module does not have
            ("def batch_resize_videos(", "def batch_resize_video("),  # a function the module lacks, one missing
        ],
    )
    def test_a_stub_that_differs_from_the_module_is_reported(self, tmp_path, before, after):
        # A stub on MYPYPATH takes precedence over the installed one.
        text = installed_stub().read_text()
        assert before in text
        (tmp_path / "batchaugmentor.pyi").write_text(text.replace(before, after))
        env = dict(os.environ, MYPYPATH=str(tmp_path))
        result = run(sys.executable, "-m", "mypy.stubtest", "batchaugmentor", env=env)
        assert result.returncode != 0, result.stdout


class TestMypy:
    def test_correct_usage_passes_with_exact_result_types(self, mypy):
        result = mypy(USAGE_OK)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_each_wrong_call_is_reported_on_its_line(self, mypy):
        result = mypy(USAGE_BAD)
        reported = {
            (int(m.group(1)), m.group(2))
            for m in re.finditer(r"usage_bad\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)
        }
        assert result.returncode == 1
        assert reported == expected_errors(), result.stdout


@pytest.mark.skipif(shutil.which("pyright", path=os.path.dirname(sys.executable)) is None,
                    reason="pyright is not installed (./dev typecheck installs it)")
class TestPyright:
    def pyright(self, path):
        exe = shutil.which("pyright", path=os.path.dirname(sys.executable))
        return run(exe, "--pythonpath", sys.executable, str(path))

    def test_correct_usage_passes(self):
        result = self.pyright(USAGE_OK)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_each_wrong_call_is_reported_on_its_line(self):
        result = self.pyright(USAGE_BAD)
        lines = {int(m.group(1)) for m in re.finditer(r"usage_bad\.py:(\d+):\d+ - error", result.stdout)}
        assert result.returncode == 1
        assert lines == {line for line, _ in expected_errors()}, result.stdout
