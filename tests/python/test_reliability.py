"""No input ends the process, Ctrl-C stops a long batch, and a pool that
cannot be built is an ordinary error. Cases that used to abort or hang the
interpreter run in a child process, so a regression fails one test instead
of ending the run."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import batchaugmentor as ba

SANITIZED = "san" in os.environ.get("LD_PRELOAD", "")


def run_child(code, env=None, timeout=120):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout)


def child_result(code, env=None, timeout=120):
    done = run_child(code, env, timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- lengths

HUGE_LENGTH_CASES = {
    # The length is only a capacity hint; the first element is refused.
    "range": ("ba.load_image_batch(range(10**12))", "TypeError",
              "argument 'image_paths': 'int' object cannot be converted to 'PyString'"),
    "broadcast_uint16": (
        "ba.batch_calculate_luminance(np.broadcast_to(np.zeros((1, 1, 1, 3), np.uint16), (10**11, 2, 2, 3)))",
        "TypeError", "argument 'images': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    # A __len__ that lies: the three real elements work.
    "lying_len_images": ("ba.batch_calculate_luminance(Lying([np.full((2, 2, 3), 9, np.uint8)] * 3))",
                         None, [9.0, 9.0, 9.0]),
    "lying_len_boxes": ("[a.shape for a in ba.batch_crop_images([np.zeros((4, 4, 1), np.uint8)] * 2,"
                        " Lying([(0, 0, 2, 3)] * 2))]", None, [[3, 2, 1], [3, 2, 1]]),
    "lying_len_paths": ("ba.load_image_batch(Lying(['/nonexistent/x'] * 2))", None, [None, None]),
}


@pytest.mark.parametrize("case", sorted(HUGE_LENGTH_CASES))
def test_huge_reported_lengths_neither_abort_nor_reserve(case):
    expression, error, expected = HUGE_LENGTH_CASES[case]
    out = child_result(f"""
        import json
        import numpy as np
        import batchaugmentor as ba

        class Lying:
            def __init__(self, items): self.items = items
            def __len__(self): return 10**11
            def __getitem__(self, i): return self.items[i]
            def __iter__(self): return iter(self.items)

        try:
            result = {expression}
            print(json.dumps(["ok", result]))
        except Exception as e:
            print(json.dumps([type(e).__name__, str(e)]))
    """)
    if error is None:
        assert out == ["ok", expected]
    else:
        assert out == [error, expected]


def test_walking_a_huge_broadcast_batch_can_be_interrupted():
    # 10**11 views would take days to convert: Ctrl-C must end the walk.
    out = child_result("""
        import json, signal, time
        import numpy as np
        import batchaugmentor as ba
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        start = time.monotonic()
        try:
            ba.batch_calculate_luminance(np.broadcast_to(np.zeros((1, 1, 1, 3), np.uint8), (10**11, 1, 1, 3)))
            print(json.dumps(["finished", 0]))
        except KeyboardInterrupt:
            print(json.dumps(["interrupted", time.monotonic() - start]))
    """, timeout=120)
    assert out[0] == "interrupted"
    assert out[1] < 10


# --------------------------------------------------------------- keywords

FUNCTIONS = [ba.load_image_batch, ba.batch_crop_images, ba.batch_center_crop_images,
             ba.batch_random_crop_images, ba.batch_resize_images,
             ba.batch_calculate_luminance, ba.batch_resize_videos]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("key", ["imag\udcffes", "\ud800", "caf\u00e9"])
def test_unknown_keyword_message_quotes_the_key_even_without_utf8(function, key):
    with pytest.raises(TypeError) as caught:
        function(**{key: []})
    assert str(caught.value) == f"{function.__name__}() got an unexpected keyword argument '{key}'"


def test_wrapped_type_error_keeps_a_message_without_utf8():
    class BadIndex:
        def __index__(self):
            raise TypeError("no \udcff index")

    with pytest.raises(TypeError) as caught:
        ba.batch_crop_images([], [(0, 0, 1, BadIndex())])
    assert str(caught.value) == "argument 'crop_boxes': no \udcff index"


# ---------------------------------------------------------------- borrows

def test_borrow_released_under_its_acquire_key_when_strides_change(registry):
    image = np.zeros((4, 4, 3), np.uint8)

    class Restrides:
        def __index__(self):
            # Runs while crop_boxes is converted, after `image` is held.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                try:
                    image.strides = (0, 3, 1)
                except AttributeError:
                    pytest.skip("this NumPy no longer lets strides be set")
            return 1

    out = ba.batch_crop_images([image], [(0, 0, 1, Restrides())])
    assert out[0].shape == (1, 1, 3)
    assert registry.is_free(image)
    base = image.base if image.base is not None else image
    assert registry.is_free(np.asarray(base))


def test_refused_borrow_leaves_the_array_free_afterwards(registry):
    image = np.zeros((4, 4, 3), np.uint8)
    assert registry.acquire_mut(image) == 0
    try:
        with pytest.raises(RuntimeError, match="exclusively borrowed"):
            ba.batch_calculate_luminance([image])
    finally:
        registry.release_mut(image)
    assert registry.is_free(image)
    assert ba.batch_calculate_luminance([image]) == [0.0]


# ------------------------------------------------------------------- pool

@pytest.mark.parametrize("env, names", [
    ({"RAYON_NUM_THREADS": "2", "BATCHAUGMENTOR_STACK_SIZE": "1099511627776"},
     ["thread 1 of 2", "RAYON_NUM_THREADS=2", "BATCHAUGMENTOR_STACK_SIZE=1099511627776", "Os { code: "]),
    ({"RAYON_RS_NUM_CPUS": "3", "BATCHAUGMENTOR_STACK_SIZE": "1099511627776"},
     ["of 3", "RAYON_RS_NUM_CPUS=3"]),
])
def test_pool_that_cannot_be_built_raises_and_is_retried(env, names):
    env = dict(env)
    if "RAYON_NUM_THREADS" not in env:
        env["RAYON_NUM_THREADS"] = "junk"  # unreadable: defers to the second variable
    out = child_result("""
        import json
        import numpy as np
        import batchaugmentor as ba
        messages = []
        for _ in range(2):   # the second call tries again, and fails the same way
            try:
                ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)] * 4)
                messages.append(None)
            except RuntimeError as e:
                messages.append(str(e))
        print(json.dumps(messages))
    """, env)
    for message in out:
        assert message is not None and message.startswith("The worker pool could not be built: ")
        for name in names:
            assert name in message


@pytest.mark.skipif(SANITIZED, reason="sanitizers reserve more address space than the limit")
def test_pool_build_failing_under_a_limit_succeeds_once_the_limit_is_lifted():
    out = child_result("""
        import json, os, resource
        import numpy as np
        import batchaugmentor as ba
        before = len(os.listdir("/proc/self/task"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        # Room for a few dozen 2 MiB worker stacks, not for 1000.
        resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), hard))
        try:
            ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)] * 4)
            first = None
        except RuntimeError as e:
            first = str(e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        out = ba.batch_calculate_luminance([np.full((1, 1, 3), 100, np.uint8)] * 4)
        import time
        for _ in range(200):   # stopped threads of the failed build exit
            threads = len(os.listdir("/proc/self/task")) - before
            if threads == 1000: break
            time.sleep(0.05)
        print(json.dumps([first, out, threads]))
    """, {"RAYON_NUM_THREADS": "1000"})
    first, out, threads = out
    assert first is not None and "of 1000" in first and "RAYON_NUM_THREADS=1000" in first
    assert out == [100.0] * 4
    assert threads == 1000


# ------------------------------------------------------------ empty images

@pytest.mark.parametrize("shape", [(2**40, 0, 3), (2**40, 0, 4), (2**40, 0, 1), (0, 2**40, 3)])
def test_luminance_of_an_image_without_pixels_is_nan_without_walking_it(shape):
    out = child_result(f"""
        import json, math
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        import batchaugmentor as ba
        view = as_strided(np.zeros(1, np.uint8), shape={shape}, strides=(0, 0, 0))
        print(json.dumps([math.isnan(v) for v in ba.batch_calculate_luminance([view, view])]))
    """, timeout=30)
    assert out == [True, True]


# -------------------------------------------------------------- interrupt

# Each batch would run for seconds; its items are short, so a stop request
# is honoured within one item's time. The inputs are views or broadcasts,
# so the child needs little memory even if it ran to the end.
INTERRUPT_SETUP = """
    import json, os, sys, time, ctypes
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
    import batchaugmentor as ba

    big = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (1024, 1024, 3))
    video = np.broadcast_to(np.zeros((1, 1, 1, 3), np.uint8), (4, 512, 512, 3))
    # Elements on separate pages: each crop is slow but small.
    pages = np.zeros(48 << 20, np.uint8)
    scattered = as_strided(pages, shape=(100, 100, 1), strides=(100 * 4160 + 3 * 4096, 4160, 1))
    missing = "/tmp/" + "./" * 500 + "batchaugmentor-missing"
    small = np.full((8, 8, 3), 7, np.uint8)
    n = {scale}
    calls = {{
        "load_image_batch": (lambda: ba.load_image_batch([missing] * (60000 * n)),
                             lambda: ba.load_image_batch(["/nonexistent"]) == [None]),
        "batch_crop_images": (lambda: ba.batch_crop_images([scattered] * (30000 * n), [(0, 0, 100, 100)] * (30000 * n)),
                              lambda: ba.batch_crop_images([small], [(0, 0, 2, 2)])[0].shape == (2, 2, 3)),
        "batch_center_crop_images": (lambda: ba.batch_center_crop_images([scattered] * (30000 * n), [(100, 100)] * (30000 * n)),
                                     lambda: ba.batch_center_crop_images([small], [(2, 2)])[0].shape == (2, 2, 3)),
        "batch_random_crop_images": (lambda: ba.batch_random_crop_images([scattered] * (30000 * n), [(100, 100)] * (30000 * n)),
                                     lambda: ba.batch_random_crop_images([small], [(2, 2)])[0].shape == (2, 2, 3)),
        "batch_resize_images": (lambda: ba.batch_resize_images([big] * (600 * n), [(8, 8)] * (600 * n)),
                                lambda: ba.batch_resize_images([small], [(4, 4)])[0].shape == (4, 4, 3)),
        "batch_calculate_luminance": (lambda: ba.batch_calculate_luminance([big] * (3000 * n)),
                                      lambda: ba.batch_calculate_luminance([small]) == [7.0]),
        "batch_resize_videos": (lambda: ba.batch_resize_videos([video] * (800 * n), [(8, 8)] * (800 * n)),
                                lambda: ba.batch_resize_videos([video[:1]], [(4, 4)])[0].shape == (1, 4, 4, 3)),
    }}
    long_call, next_call = calls[sys.argv[1]]

    multiarray = __import__("numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2
                            else "numpy.core.multiarray", fromlist=["x"])
    def is_free(a):
        ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)])
        capsule = getattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype = ctypes.c_void_p
        get.argtypes = [ctypes.py_object, ctypes.c_char_p]
        fn = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
        rel = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
        words = (ctypes.c_void_p * 6).from_address(get(capsule, b"_RUST_NUMPY_BORROW_CHECKING_API"))
        if fn(words[3])(words[1], a) != 0:
            return False
        rel(words[5])(words[1], a)
        return True

    ba.batch_calculate_luminance([small] * 4)   # the pool exists before timing starts
    print("ready", flush=True)
    start = time.monotonic()
    try:
        long_call()
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    raised = time.monotonic()
    free = all(is_free(np.asarray(a.base if a.base is not None else a)) for a in (big, video, pages))
    print(json.dumps([outcome, start, raised, free, bool(next_call())]), flush=True)
"""


@pytest.mark.parametrize("name", [f.__name__ for f in FUNCTIONS])
def test_ctrl_c_stops_a_long_batch_promptly(name):
    scale = 3 if SANITIZED else 1
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPT_SETUP.format(scale=scale)), name],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.6)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, err[-3000:]
    outcome, start, raised, free, next_ok = json.loads(out.strip().splitlines()[-1])
    assert outcome == "interrupted"
    assert sent - start > 0.3          # the batch was well under way
    latency = raised - sent
    print(f"{name}: KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT")
    # Typically 10-80 ms (the 50 ms poll plus the items already running);
    # the bound leaves room for a CI machine busy with other jobs, and a
    # batch that ran to its end would take seconds longer.
    assert latency < (1.5 if SANITIZED else 0.5)
    assert free
    assert next_ok


def test_a_signal_handler_may_itself_run_a_batch():
    # The waiting thread runs handlers between slices; one that starts a
    # batch of its own must neither deadlock nor confuse the two batches.
    out = child_result("""
        import json, signal
        import numpy as np
        import batchaugmentor as ba
        big = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (1024, 1024, 3))
        inner = []
        def handler(signum, frame):
            inner.append(ba.batch_calculate_luminance([np.full((2, 2, 3), 5, np.uint8)] * 8))
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        outer = ba.batch_calculate_luminance([big] * 400)
        print(json.dumps([inner, len(outer), set(outer) == {0.0}]))
    """, timeout=120)
    assert out == [[[5.0] * 8], 400, True]
