"""Benchmarks of the native replay against a plain-Python peer (bench/peer.py).

    python bench/run.py [--sizes N ...] [--quick] [--fps F] [--speed S] [--repeat R]

For every recording size, one movie-mode ``play`` per implementation, each in a
fresh subprocess so that neither memory peaks nor warm caches carry over. The
viewer and the movie writer do nothing, so what is left is the replay itself:
the state reconstruction (one snapshot per product) and the playback loop.
Then the per-call cost of three small native methods against plain Python ones,
and the time of a project's summary text at two numbers of behaviours (summary.py).
Results are printed and written as JSON (``--json``, default bench/results.json).

    python bench/run.py --calls [--against OTHER_PYTHON ...]

measures only the per-call costs, with this interpreter and each other one (another
build's environment, say), in turns, and prints one table per build.
"""

import argparse
import gc
import hashlib
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLS = ("native", "peer")
TIME_TARGET, TIME_STRETCH = 1.3, 2.0     # peer time / native time, at least
MEMORY_TARGET = 1.05                     # native memory / peer memory, at most
CALL_TARGET = 0.8                        # native call time / Python call time, at most


# -- one play, in a worker process ---------------------------------------------------

class Marks:
    """perf_counter stamps: the loop starts at the first render (after the
    reconstruction and the time axis) and ends when the movie writer is made."""
    loop_start = None
    loop_end = None
    renders = 0


class FakeViewer:
    def render(self):
        if Marks.loop_start is None:
            Marks.loop_start = time.perf_counter()
        Marks.renders += 1

    def screenshot(self, filename):
        pass


class FakeClip:
    last = None

    def __init__(self, image_files, fps):
        Marks.loop_end = time.perf_counter()
        self.frames = [os.path.basename(f) for f in image_files]
        self.fps = fps
        FakeClip.last = self

    def write_videofile(self, filename):
        pass


class BenchData:
    """All that play reads of a data set."""

    def __init__(self, records):
        self._data_records = records


def _maxrss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024   # KiB on Linux


def _reset_rss_peak():
    """Lowers the RSS high-water mark to the current RSS (Linux), so that the
    peak of loading the recording does not hide the peak of play."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _play_once(replay, fps, speed):
    Marks.loop_start = Marks.loop_end = None
    Marks.renders = 0
    start = time.perf_counter()
    replay.play(moviename="bench.mp4", fps=fps, speed=speed)
    end = time.perf_counter()
    return {
        "total_s": end - start,
        "reconstruction_s": Marks.loop_start - start,
        "loop_s": Marks.loop_end - Marks.loop_start,
        # The movie step and freeing the snapshots when play returns.
        "after_loop_s": end - Marks.loop_end,
        "cycles": Marks.renders,
    }


def worker(impl, record_file, fps, speed, repeat):
    import mirvane.replay
    from mirvane.project import Project
    from dravik.api import data_pb2
    import peer

    mirvane.replay.ImageSequenceClip = FakeClip
    peer.ImageSequenceClip = FakeClip
    cls = mirvane.replay.Replay if impl == "native" else peer.PeerReplay

    with open(record_file, "rb") as f:
        blob = f.read()
    records = data_pb2.Records()
    records.ParseFromString(blob)
    del blob
    n = len(records.records[0].products)

    project = Project()
    replay = cls()
    replay.setProject(project)
    replay.setData(BenchData(records))
    replay.setViewer(FakeViewer())

    cwd = tempfile.mkdtemp(prefix="mirvane-bench-")
    os.chdir(cwd)
    try:
        # Timing and RSS from the first play of a fresh process.
        gc.collect()
        reset = _reset_rss_peak()
        rss_before = _maxrss_bytes()
        runs = [_play_once(replay, fps, speed)]
        rss_peak = _maxrss_bytes() - rss_before
        frames = FakeClip.last.frames
        leftovers = os.listdir(cwd)
        final_state = project.system().state().SerializeToString(deterministic=True)
        final_workspace = project.workspace().state().SerializeToString(deterministic=True)
        for _ in range(repeat - 1):
            gc.collect()
            runs.append(_play_once(replay, fps, speed))

        # Python-heap peak in a play of its own: tracing slows everything down.
        # It sees the message wrappers, lists and numbers, but not the
        # protobuf runtime's own arenas, which it allocates outside the Python heap.
        gc.collect()
        tracemalloc.start()
        base, _ = tracemalloc.get_traced_memory()
        replay.play(moviename="bench.mp4", fps=fps, speed=speed)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    finally:
        os.chdir(HERE)
        shutil.rmtree(cwd, ignore_errors=True)

    # Each phase's best over the plays, which is what timing noise can only add to.
    best = {key: min(r[key] for r in runs) for key in ("total_s", "reconstruction_s", "loop_s", "after_loop_s")}
    best["cycles"] = runs[0]["cycles"]
    return {
        "impl": impl,
        "products": n,
        "runs": runs,
        "best": best,
        "rss_peak_bytes": rss_peak,
        "rss_peak_reset": reset,
        "traced_peak_bytes": peak - base,
        "frames": len(frames),
        "first_frame": frames[0] if frames else None,
        "last_frame": frames[-1] if frames else None,
        "left_in_cwd": leftovers,
        # To check that both implementations did the same thing.
        "outcome": hashlib.sha256(final_state + final_workspace + "\n".join(frames).encode()).hexdigest()[:16],
    }


# -- per-call cost of small methods -------------------------------------------------

class PyProject:
    def __init__(self, workspace, system):
        self._system = system
        self._workspace = workspace
        self._behaviors = {}

    def workspace(self):
        return self._workspace

    def addBehavior(self, behavior):
        self._behaviors[behavior.name()] = behavior


class PyReplay:
    def __init__(self, project, data):
        self._project = project
        self._data = data
        self._viewer = None

    def setViewer(self, viewer):
        self._viewer = viewer


def call_costs(number):
    from mirvane.behavior import Behavior
    from mirvane.project import Project
    from mirvane.replay import Replay

    p = Project()
    r = Replay()
    v = FakeViewer()
    objects = {
        "p": p, "r": r, "v": v, "b": Behavior("pick"),
        "q": PyProject(p.workspace(), p.system()),
        "s": PyReplay(p, r._data),
    }

    def best(*statements):
        # The best of 5 of each, timed in turns, so that a busy moment of the
        # machine falls on all of them alike. Locals of the timed function, as
        # the setup binds them there.
        setup = "; ".join("{0} = objects['{0}']".format(k) for k in objects)
        timers = [timeit.Timer(stmt, setup=setup, globals={"objects": objects}) for stmt in statements]
        rounds = [[timer.timeit(number) for timer in timers] for _ in range(5)]
        return [min(times) / number for times in zip(*rounds)]

    rows = []
    overheads = []
    for label, native_stmt, python_stmt, target in (
            ("Project.workspace()", "p.workspace()", "q.workspace()", CALL_TARGET),
            ("Replay.setViewer(v)", "r.setViewer(v)", "s.setViewer(v)", CALL_TARGET),
            # The body calls b.name(), a method call from native code, which costs
            # what Python's own does: compared between builds, not with a target.
            ("Project.addBehavior(b)", "p.addBehavior(b)", "q.addBehavior(b)", None)):
        empty, native, python = best("pass", native_stmt, python_stmt)
        overheads.append(empty)
        rows.append({
            "call": label,
            "native_ns": native * 1e9,
            "python_ns": python * 1e9,
            "native_net_ns": (native - empty) * 1e9,
            "python_net_ns": (python - empty) * 1e9,
            "ratio": (native - empty) / (python - empty),
            "ratio_gross": native / python,
            "target": target,
        })
    return {"loop_overhead_ns": min(overheads) * 1e9, "number": number, "rows": rows}


# -- driver ---------------------------------------------------------------------------

def make_record_file(n, seed, directory):
    from dravik.api import data_pb2
    from mirvane.simulation.cell import synthetic_record

    records = data_pb2.Records()
    records.records.add().CopyFrom(synthetic_record(n, seed=seed))
    record = records.records[0]
    products = record.products
    span = (products[-1].timestamp_ns - products[0].timestamp_ns) * 1e-9 if n else 0.0
    path = os.path.join(directory, "record-%d.bin" % n)
    with open(path, "wb") as f:
        f.write(records.SerializeToString())
    return path, span


def run_worker(impl, path, args):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--worker", impl, path,
         "--fps", str(args.fps), "--speed", repr(args.speed), "--repeat", str(args.repeat)],
        check=True, stdout=subprocess.PIPE, cwd=HERE)
    return json.loads(out.stdout.decode().strip().splitlines()[-1])


def _verdict(ok):
    return "ok" if ok else "MISS"


def print_size(size, span, res):
    nat, pr = res["native"], res["peer"]
    n = size
    print()
    print("%d products, %.1f s of record, %d cycles (speed %r, fps %d), best of %d play%s"
          % (n, span, nat["best"]["cycles"], res["speed"], res["fps"], len(nat["runs"]),
             "" if len(nat["runs"]) == 1 else "s"))
    head = "  %-26s %12s %12s %13s   %s"
    print(head % ("", "native", "peer", "peer/native", "target"))
    for key, label in (("reconstruction_s", "reconstruction us/product"),
                       ("loop_s", "loop us/product"),
                       ("total_s", "total us/product")):
        a, b = nat["best"][key], pr["best"][key]
        ratio = b / a
        print("  %-26s %12.2f %12.2f %12.2fx   >=%.1fx (stretch %.0fx): %s"
              % (label, a / n * 1e6, b / n * 1e6, ratio, TIME_TARGET, TIME_STRETCH,
                 _verdict(ratio >= TIME_TARGET)))
    a, b = nat["best"]["loop_s"], pr["best"]["loop_s"]
    print("  %-26s %12.1f %12.1f" % ("loop us/cycle", a / nat["best"]["cycles"] * 1e6,
                                      b / pr["best"]["cycles"] * 1e6))
    a, b = nat["best"]["after_loop_s"], pr["best"]["after_loop_s"]
    print("  %-26s %12.2f %12.2f" % ("after the loop us/product", a / n * 1e6, b / n * 1e6))
    print("  %-26s %12.3f %12.3f" % ("total s", nat["best"]["total_s"], pr["best"]["total_s"]))
    print(head % ("", "native", "peer", "native/peer", ""))
    for key, label in (("rss_peak_bytes", "RSS peak bytes/product"),
                       ("traced_peak_bytes", "Python-heap peak B/product")):
        a, b = nat[key], pr[key]
        ratio = a / b if b else float("nan")
        print("  %-26s %12.0f %12.0f %12.3f    <=%.2f: %s"
              % (label, a / n, b / n, ratio, MEMORY_TARGET, _verdict(ratio <= MEMORY_TARGET)))
    if not (nat["rss_peak_reset"] and pr["rss_peak_reset"]):
        print("  (the RSS high-water mark could not be reset: loading the recording may hide part of the peak)")
    same = nat["outcome"] == pr["outcome"] and nat["frames"] == pr["frames"]
    print("  same outcome (final states, frame names): %s; frame directories left behind: %s"
          % ("yes" if same else "NO", nat["left_in_cwd"] + pr["left_in_cwd"] or "none"))


def print_calls(calls, build=""):
    print()
    print("Per call%s, best of 5 x %d (timeit loop overhead %.1f ns subtracted)"
          % (build, calls["number"], calls["loop_overhead_ns"]))
    print("  %-22s %10s %10s %14s   %s" % ("", "native ns", "python ns", "native/python", "target"))
    for row in calls["rows"]:
        target = row["target"]
        print("  %-22s %10.1f %10.1f %14.2f   %s"
              % (row["call"], row["native_net_ns"], row["python_net_ns"], row["ratio"],
                 "<=%.1f: %s" % (target, _verdict(row["ratio"] <= target)) if target else "-"))


def compare_calls(pythons, number, rounds=3):
    """The per-call table of each build, measured in turns in fresh processes (so
    that a busy moment of the machine does not fall on one build only), keeping
    each row's best."""
    best = [None] * len(pythons)
    for _ in range(rounds):
        for i, python in enumerate(pythons):
            out = subprocess.run([python, os.path.abspath(__file__), "--calls-worker", str(number)],
                                 check=True, stdout=subprocess.PIPE, cwd=HERE)
            calls = json.loads(out.stdout.decode().strip().splitlines()[-1])
            kept = best[i] = best[i] or calls
            for row, kept_row in zip(calls["rows"], kept["rows"]):
                if row["native_net_ns"] < kept_row["native_net_ns"]:
                    kept_row.update(native_ns=row["native_ns"], native_net_ns=row["native_net_ns"])
                if row["python_net_ns"] < kept_row["python_net_ns"]:
                    kept_row.update(python_ns=row["python_ns"], python_net_ns=row["python_net_ns"])
                kept_row["ratio"] = kept_row["native_net_ns"] / kept_row["python_net_ns"]
    for python, calls in zip(pythons, best):
        print_calls(calls, " (%s)" % python)


def environment():
    import numpy
    import google.protobuf
    from google.protobuf.internal import api_implementation
    return {
        "python": sys.version.split()[0],
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "numpy": numpy.__version__,
        "protobuf": "%s (%s)" % (google.protobuf.__version__, api_implementation.Type()),
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=None,
                    help="products per recording (default 20000 200000)")
    ap.add_argument("--quick", action="store_true", help="small sizes and fewer calls, for a smoke run")
    ap.add_argument("--fps", type=int, default=10)
    ap.add_argument("--speed", type=float, default=1.0)
    ap.add_argument("--repeat", type=int, default=1, help="plays per process for timing (best is kept)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--json", default=os.path.join(HERE, "results.json"), help="where to write the results")
    ap.add_argument("--calls", action="store_true", help="only the per-call costs")
    ap.add_argument("--against", nargs="+", default=[], metavar="PYTHON",
                    help="with --calls: also measure with these interpreters' builds, in turns")
    ap.add_argument("--worker", nargs=2, metavar=("IMPL", "RECORD_FILE"), help=argparse.SUPPRESS)
    ap.add_argument("--calls-worker", type=int, metavar="NUMBER", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        impl, path = args.worker
        print(json.dumps(worker(impl, path, args.fps, args.speed, max(1, args.repeat))))
        return
    if args.calls_worker:
        print(json.dumps(call_costs(args.calls_worker)))
        return
    if args.calls:
        compare_calls([sys.executable] + args.against, 200_000 if args.quick else 2_000_000)
        return

    sizes = args.sizes or ([2000, 10000] if args.quick else [20000, 200000])
    if min(sizes) < 1:
        ap.error("a recording needs at least one product to be played")
    env = environment()
    print("mirvane replay benchmark: Python %(python)s, %(machine)s, %(cpus)s CPUs, numpy %(numpy)s, "
          "protobuf %(protobuf)s" % env)
    results = {"environment": env, "sizes": {}}

    scratch = tempfile.mkdtemp(prefix="mirvane-bench-records-")
    try:
        for n in sizes:
            path, span = make_record_file(n, args.seed, scratch)
            res = {"span_s": span, "fps": args.fps, "speed": args.speed}
            for impl in IMPLS:
                res[impl] = run_worker(impl, path, args)
            os.remove(path)
            results["sizes"][str(n)] = res
            print_size(n, span, res)
            sys.stdout.flush()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    results["calls"] = call_costs(200_000 if args.quick else 2_000_000)
    print_calls(results["calls"])

    import summary  # bench/summary.py; imported here, as the workers need none of it
    results["summary"] = summary.measure([2000, 4000] if args.quick else [20000, 40000], 5)
    print()
    summary.report(results["summary"])

    with open(args.json, "w") as f:
        json.dump(results, f, indent=2)
    print()
    print("Results written to %s" % os.path.relpath(args.json))


if __name__ == "__main__":
    main()
