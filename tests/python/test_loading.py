import os
import signal
import subprocess
import time

import pytest

import batchaugmentor as ba
from conftest import child_command, run_child


def write(path, data):
    path.write_bytes(data)
    return str(path)


@pytest.fixture
def payload():
    return os.urandom(70_000)


class TestContent:
    @pytest.mark.parametrize("size", [0, 1, 8, 9, 262_143, 262_144, 262_145, 3_000_001])
    def test_bytes_come_back_unchanged(self, tmp_path, size):
        data = os.urandom(size)
        [result] = ba.load_image_batch([write(tmp_path / "f.bin", data)])
        assert type(result) is bytes
        assert result == data

    def test_empty_file_is_empty_bytes_not_none(self, tmp_path):
        assert ba.load_image_batch([write(tmp_path / "empty", b"")]) == [b""]

    def test_empty_list(self):
        assert ba.load_image_batch([]) == []

    def test_content_is_not_checked_as_an_image(self, tmp_path):
        data = b"not a picture\x00\xff" * 100
        assert ba.load_image_batch([write(tmp_path / "x.jpg", data)]) == [data]

    @pytest.mark.parametrize("device", ["/dev/null"])
    def test_device_with_no_data(self, device):
        assert ba.load_image_batch([device]) == [b""]


class TestUnreadable:
    """A file that cannot be read is None in its slot; the others still load."""

    @pytest.mark.parametrize(
        "make_bad",
        [
            pytest.param(lambda d: str(d / "missing.png"), id="missing"),
            pytest.param(lambda d: str(d), id="directory"),
            pytest.param(lambda d: "", id="empty-path"),
            pytest.param(lambda d: str(d / "missing-dir" / "x.png"), id="missing-parent"),
            pytest.param(lambda d: str(d / "good.bin") + "/x", id="file-as-directory"),
        ],
    )
    def test_failure_is_none_between_good_files(self, tmp_path, payload, make_bad):
        good = write(tmp_path / "good.bin", payload)
        assert ba.load_image_batch([good, make_bad(tmp_path), good]) == [payload, None, payload]

    def test_nul_in_path_is_none_even_when_the_part_before_it_exists(self, tmp_path, payload):
        good = write(tmp_path / "good.bin", payload)
        assert ba.load_image_batch([good + "\x00.txt", good]) == [None, payload]

    @pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root reads every file")
    def test_file_without_read_permission(self, tmp_path, payload):
        secret = write(tmp_path / "secret", payload)
        os.chmod(secret, 0)
        try:
            assert ba.load_image_batch([secret]) == [None]
        finally:
            os.chmod(secret, 0o600)

    def test_fifo_without_writer_does_not_hang(self, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        assert ba.load_image_batch([str(fifo)]) == [b""]


class TestPaths:
    def test_same_file_twice_around_a_missing_one(self, tmp_path, payload):
        good = write(tmp_path / "a.bin", payload)
        missing = str(tmp_path / "nope.bin")
        assert ba.load_image_batch([good, missing, good]) == [payload, None, payload]

    def test_relative_paths_follow_the_current_directory(self, tmp_path, monkeypatch):
        (tmp_path / "sub").mkdir()
        write(tmp_path / "sub" / "r.bin", b"relative")
        monkeypatch.chdir(tmp_path)
        assert ba.load_image_batch(["sub/r.bin", "./sub/r.bin", "sub/../sub/r.bin", "r.bin"]) == [
            b"relative",
            b"relative",
            b"relative",
            None,
        ]

    def test_path_longer_than_260_characters(self, tmp_path, payload):
        folder = tmp_path
        while len(str(folder)) < 300:
            folder = folder / ("d" * 40)
        folder.mkdir(parents=True)
        path = write(folder / "deep.bin", payload)
        assert len(path) > 260
        assert ba.load_image_batch([path]) == [payload]

    def test_non_ascii_names(self, tmp_path, payload):
        path = write(tmp_path / "café_日本_😀.bin", payload)
        assert ba.load_image_batch([path]) == [payload]


class TestBatch:
    def test_many_files_keep_their_order(self, tmp_path):
        contents = [os.urandom(i % 50 * 997) + i.to_bytes(4, "little") for i in range(1500)]
        paths = [write(tmp_path / f"{i}.bin", c) for i, c in enumerate(contents)]
        # Every fifth slot unreadable, to show failures stay in their own slots.
        paths = [str(tmp_path / "gone") if i % 5 == 0 else p for i, p in enumerate(paths)]
        expected = [None if i % 5 == 0 else c for i, c in enumerate(contents)]
        assert ba.load_image_batch(paths) == expected

    def test_no_file_descriptors_left_open(self, tmp_path, payload):
        good = write(tmp_path / "good.bin", payload)
        paths = [good, str(tmp_path), str(tmp_path / "missing")] * 200
        before = len(os.listdir("/proc/self/fd"))
        ba.load_image_batch(paths)
        assert len(os.listdir("/proc/self/fd")) == before

    def test_later_calls_see_only_their_own_files(self, tmp_path):
        # Native buffers are reused from call to call: a short file read after
        # a long one must not pick up the long one's bytes or length.
        long = [write(tmp_path / f"long{i}", os.urandom(2_000_000 + 4097 * i)) for i in range(6)]
        short = [write(tmp_path / f"short{i}", os.urandom(1 + 1000 * i)) for i in range(40)]
        for paths in (long, short, long + short, short[::-1]):
            expected = [open(p, "rb").read() for p in paths]
            assert ba.load_image_batch(paths) == expected

    def test_large_files_among_small_empty_and_missing_ones(self, tmp_path):
        # Large contents are copied out in several pieces, possibly on
        # different threads; every piece must land in its own place.
        mib = 1 << 20
        sizes = [4 * mib, 0, 4 * mib + 1, 13, 9 * mib + 4095, 4 * mib - 1]
        paths = [write(tmp_path / f"{i}.bin", os.urandom(n)) for i, n in enumerate(sizes)]
        paths.insert(2, str(tmp_path / "missing"))
        expected = [None if p.endswith("missing") else open(p, "rb").read() for p in paths]
        assert ba.load_image_batch(paths) == expected

    def test_result_list_is_new_each_call(self, tmp_path, payload):
        good = write(tmp_path / "good.bin", payload)
        first = ba.load_image_batch([good])
        second = ba.load_image_batch([good])
        assert first == second and first is not second


class TestFileChangingWhileRead:
    def test_file_being_appended_to_by_another_process(self, tmp_path):
        # Another process, because the call keeps the interpreter lock while
        # it reads: a Python thread of this process could not write meanwhile.
        initial = os.urandom(2_000_000)
        extra = os.urandom(16_000_000)
        path = write(tmp_path / "growing.bin", initial)
        source = write(tmp_path / "extra.bin", extra)
        appender = subprocess.Popen(
            child_command(
                "import sys\n"
                "data = open(sys.argv[2], 'rb').read()\n"
                "with open(sys.argv[1], 'ab', buffering=0) as f:\n"
                "    for i in range(0, len(data), 16384): f.write(data[i:i + 16384])\n",
                path,
                source,
            )
        )
        seen = []
        while appender.poll() is None or not seen:
            seen += ba.load_image_batch([path] * 4)
        assert appender.wait() == 0
        final = initial + extra
        assert any(len(c) < len(final) for c in seen), "no read overlapped the writer"
        for content in seen:
            assert len(initial) <= len(content) <= len(final)
            assert content == final[: len(content)]
        assert ba.load_image_batch([path]) == [final]


class TestSizeHints:
    """The size a file reports is a hint; the content is what its reads deliver."""

    @pytest.mark.parametrize("size", [4095, 4096, 1 << 20, (1 << 20) + 1, 3 * (1 << 20) + 7])
    def test_file_of_exactly_its_reported_size(self, tmp_path, size):
        data = os.urandom(size)
        path = write(tmp_path / "exact.bin", data)
        assert os.path.getsize(path) == size
        assert ba.load_image_batch([path, path]) == [data, data]

    def test_proc_file_that_reports_size_zero(self):
        [status] = ba.load_image_batch(["/proc/self/status"])
        assert type(status) is bytes and b"Name:" in status

    @pytest.mark.skipif(not os.path.exists("/sys/kernel/mm/transparent_hugepage/enabled"), reason="no such file")
    def test_sys_file_that_reports_more_than_it_holds(self):
        path = "/sys/kernel/mm/transparent_hugepage/enabled"
        [content] = ba.load_image_batch([path])
        assert content == open(path, "rb").read()
        assert 0 < len(content) < os.stat(path).st_size

    def test_file_shrinking_while_read(self, tmp_path):
        initial = os.urandom(8_000_000)
        final_size = 1_000_000
        path = write(tmp_path / "shrinking.bin", initial)
        cutter = subprocess.Popen(
            child_command(
                "import os, sys\n"
                "for size in range(8_000_000, 1_000_000 - 1, -10_000): os.truncate(sys.argv[1], size)\n",
                path,
            )
        )
        seen = []
        while cutter.poll() is None or not seen:
            seen += ba.load_image_batch([path] * 4)
        assert cutter.wait() == 0
        for content in seen:
            assert final_size <= len(content) <= len(initial)
            assert content[:final_size] == initial[:final_size]
        assert ba.load_image_batch([path]) == [initial[:final_size]]


class TestManyPaths:
    def test_ten_thousand_paths_in_one_call(self, tmp_path):
        contents = [i.to_bytes(4, "little") * (i % 7) for i in range(10_000)]
        paths = [write(tmp_path / f"{i}", c) for i, c in enumerate(contents)]
        before = len(os.listdir("/proc/self/fd"))
        assert ba.load_image_batch(paths) == contents
        assert len(os.listdir("/proc/self/fd")) == before

    @pytest.mark.parametrize("limit", [12, 256])
    def test_descriptor_limit_far_below_the_path_count(self, tmp_path, limit):
        # Files are opened a window at a time; a file that still finds no
        # free descriptor is opened again once its window's files are closed.
        # The limit is set in a child, where it stays.
        for i in range(1000):
            write(tmp_path / f"{i}", i.to_bytes(4, "little") * 100)
        child = run_child(
            "import os, resource, sys, batchaugmentor as ba\n"
            "folder, limit = sys.argv[1], int(sys.argv[2])\n"
            "paths = [os.path.join(folder, str(i)) for i in range(1000)]\n"
            "expected = [open(p, 'rb').read() for p in paths]\n"
            "resource.setrlimit(resource.RLIMIT_NOFILE, (limit, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))\n"
            "assert ba.load_image_batch(paths) == expected\n"
            "print('ok')\n",
            tmp_path,
            limit,
        )
        assert child.stdout.strip() == "ok", child.stderr


# Reading these never ends: each call is made in a child whose address
# space is limited to what it uses plus 768 MiB, so the memory budget (what
# the system can still give) is small and quickly reached.
NEVER_ENDING_CHILD = """
import os, resource, sys, time, batchaugmentor as ba
good = sys.argv[1]
ba.load_image_batch([good, good])  # the worker pool exists from here on
size = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')
resource.setrlimit(resource.RLIMIT_AS, (size + (768 << 20), resource.RLIM_INFINITY))
start = time.monotonic()
result = ba.load_image_batch(sys.argv[2:] + [good])
print(repr([None if r is None else len(r) for r in result]), round(time.monotonic() - start, 1))
assert result[-1] == open(good, 'rb').read()
assert ba.load_image_batch([good]) == [result[-1]]  # the next call works
"""


class TestNeverEndingInputs:
    @pytest.mark.parametrize(
        "sources",
        [["/dev/zero"], ["/dev/urandom"], ["/proc/self/pagemap"], ["/dev/zero", "/proc/self/pagemap", "/dev/zero"]],
    )
    def test_slot_is_none_once_memory_runs_short(self, tmp_path, payload, sources):
        good = write(tmp_path / "good.bin", payload)
        child = run_child(NEVER_ENDING_CHILD, good, *sources)
        assert child.returncode == 0, child.stderr
        assert child.stdout.split("]")[0] + "]" == repr([None] * len(sources) + [len(payload)])

    def test_fifo_whose_writer_stays_open_yields_to_ctrl_c(self, tmp_path):
        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        keep_open = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # a writer that never writes
        child = subprocess.Popen(
            child_command(
                "import sys, batchaugmentor as ba\n"
                "print('ready', flush=True)\n"
                "try:\n"
                "    ba.load_image_batch([sys.argv[1]])\n"
                "except KeyboardInterrupt:\n"
                "    print('interrupted', flush=True)\n",
                fifo,
            ),
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=3)
            assert out.strip() == "interrupted"
        finally:
            child.kill()
            child.wait()
            os.close(keep_open)
