"""The module torvex: outputs as the programs' (in TORVEX_BIN), failures, progress, Ctrl+C, threads, version."""
import _thread, concurrent.futures, os, pathlib, pickle, signal, subprocess, sys, tempfile, threading, time, unittest
import torvex

BIN, EXAMPLES, MiB = os.environ["TORVEX_BIN"], pathlib.Path(__file__).parents[2] / "examples", 1 << 20
PAIRS = [(b"ABCD", b"AXCY", str), ((EXAMPLES / "original.bin").read_bytes(), (EXAMPLES / "new.bin").read_bytes(),
         pathlib.Path), (b"same", b"same", os.fsencode), (b"", b"", str)]
LOW_MEMORY = """import pickle, resource, sys, torvex  # make, with 1 MiB of address space to spare: what it raised
resource.setrlimit(resource.RLIMIT_AS, (int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
                                        + (1 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try: torvex.make(*sys.argv[1:])
except torvex.Error as error: sys.stdout.buffer.write(pickle.dumps(error))"""
read = lambda name: pathlib.Path(name).read_bytes()
put = lambda name, data: pathlib.Path(name).write_bytes(data)
run = lambda *args: subprocess.run([os.path.join(BIN, args[0]), *args[1:]], capture_output=True).stdout


def sparse(name, size, data):  # holes but for data at the start of each MiB
    with open(name, "wb") as f:
        f.truncate(size), [os.pwrite(f.fileno(), data, at) for at in range(0, size, MiB)]


def low_memory(*args):
    raise pickle.loads(subprocess.run([sys.executable, "-c", LOW_MEMORY, *args], capture_output=True).stdout)


class TorvexTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(os.chdir, os.getcwd()), self.addCleanup(folder.cleanup), os.chdir(folder.name)
        put("a", b"ABCD"), put("short", b"AB"), put("p", b"4\n0:58\n2:59\n"), put("bad", b"4\n0:58\nzz\n")
        sparse("big", 300 * MiB, b"a"), sparse("big2", 300 * MiB, b"b"), run("torvex", "big", "big2", "big.patch")

    def test_round_trips(self):
        for original, changed, path in PAIRS:
            with self.subTest(original=original[:8], path=path):
                put("o", original), put("c", changed), put("i", original)
                torvex.make(path("o"), path("c"), path("mp")), run("torvex", "o", "c", "ref")
                torvex.invert(path("o"), path("mp"), path("u")), run("torvex-invert", "o", "mp", "ref_u")
                self.assertEqual((read("mp"), read("u")), (read("ref"), read("ref_u")))
                self.assertEqual((torvex.apply(path("o"), path("n"), path("mp")), read("n")), (True, changed))
                self.assertTrue(torvex.apply("i", "i", "mp"))  # in place; then again, with nothing to do
                self.assertEqual((read("i"), torvex.apply("i", "i", "mp")), (changed, original == changed))
                self.assertEqual((torvex.apply("i", "i", "u"), read("i")), (True, original))

    def test_check(self):
        for data, outcome in ((b"ABCD", "APPLIES"), (b"XBYD", "APPLIED"), (b"XBCD", "PARTLY_APPLIED")):
            self.assertIs(put("f", data) and torvex.check("f", "p"), torvex.Check[outcome])

    def test_failures(self):
        tv, make, apply, check = torvex, torvex.make, torvex.apply, torvex.check
        for error, call, *args in (
                (tv.OpenError, make, "missing", "a", "q"), (tv.SizesDifferError, make, "a", "short", "q"),
                (tv.CreatePatchError, make, "a", "a", "none/q"), (tv.WritePatchError, make, "a", "a", "/dev/full"),
                (tv.ReadError, apply, "big", "n", "big.patch", lambda done, total: os.truncate("big", 1)),
                (tv.NoMemoryError, low_memory, "big2", "big2", "q"), (tv.MalformedError, check, "a", "bad"),
                (tv.DoesNotFitError, check, "short", "p"), (tv.MismatchError, check, "mismatch", "p"),
                (tv.CreateNewFileError, apply, "a", "none/n", "p"), (tv.WriteNewFileError, apply, "a", "/dev/full", "p"),
                (tv.CancelledError, apply, "a", "n", "p", lambda *_: False), (tv.InvalidCallError, tv._call,
                                                                             tv._lib.torvex_make, None, None, b"a", b"q")):
            with self.subTest(error=error.__name__):
                with self.assertRaises(error) as raised:
                    put("mismatch", b"ABYD"), call(*args)
                malformed = error is tv.MalformedError  # its line from the program, else the status's
                line = run("torvex-apply", "a", "/dev/null", "bad") if malformed else tv._lib.torvex_message(error.status)
                self.assertEqual((type(raised.exception), raised.exception.status, raised.exception.line),
                                 (error, error.status, 3 * malformed))
                self.assertEqual((str(raised.exception), os.path.exists("n")), (line.decode().rstrip("\n"), False))

    def test_progress(self):  # then an exception raised in the callback: cancels, leaving nothing, then raised
        seen, others = [], []  # others: callbacks made meanwhile, which must not take the job's place
        torvex.make("big", "big2", "q", lambda *p: seen.append(p) or others.append(torvex._PROGRESS(lambda *_: 1)))
        self.assertEqual((len(seen) > 2, sorted(seen), seen[-1]), (True, seen, (300 * MiB, 300 * MiB)))
        self.assertRaises(ZeroDivisionError, torvex.apply, "big", "n", "big.patch", lambda done, total: 1 / 0)
        self.assertFalse(os.path.exists("n"))

    def test_ctrl_c(self):  # while the library works (here, writing to a full pipe): cancels, then raised
        sparse("big3", 300 * MiB, b"c" * 256), run("torvex", "big", "big3", "whole"), os.mkfifo("fifo")
        seen, got, main, deadline = [], [], threading.get_ident(), time.monotonic() + 60  # so as not to hang

        def interrupter():  # once the main thread is back in the library after a progress; then reads the pipe
            with open("fifo", "rb") as fifo:
                while time.monotonic() < deadline and not (seen and sys._current_frames()[main].f_code is
                                                           torvex._call.__code__):
                    pass
                _thread.interrupt_main(), got.append(fifo.read())
        thread = threading.Thread(target=interrupter)
        with self.assertRaises(KeyboardInterrupt):
            thread.start(), torvex.make("big", "big3", "fifo", lambda done, total: seen.append(done))
        thread.join()
        self.assertEqual((read("whole").startswith(got[0]), len(got[0]) < len(read("whole")), max(seen) < 300 * MiB,
                          signal.getsignal(signal.SIGINT)), (True, True, True, signal.default_int_handler))

    def test_two_at_once(self):  # each call waits in its first progress for the other to be in progress
        both = threading.Barrier(2, timeout=30)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            list(pool.map(lambda name: torvex.make("big", "big2", name, lambda done, total, waited=[]: waited or
                                                   waited.append(both.wait())), ("q1", "q2")))

    def test_version(self):
        for number, want in ((10200, (1, 2, 0)), (10000, (1, 0, 0)), (19999, (1, 99, 99)), (20000, None), (9999, None)):
            call = lambda: torvex._check_version(number)
            self.assertEqual(call(), want) if want else self.assertRaisesRegex(ImportError, "with libtorvex 1.x", call)
