"""Stand-ins for the collaborators of mirvane.replay.Replay.play, recording what they receive."""

import os

import mirvane.replay
from dravik.api import data_pb2, system_pb2

SECOND = 10 ** 9
KINDS = ("perception", "decision", "planner", "controller")


def product(t_ns, *kinds, **fields):
    """A product at ``t_ns`` carrying an empty sub-message of each named kind, plus ``fields``."""
    p = data_pb2.Product(timestamp_ns=t_ns, **fields)
    for kind in kinds:
        getattr(p, kind).SetInParent()
    return p


def record(times_ns, stop=0, tag="r0"):
    """A record of decision products at ``times_ns``; its starting workspace holds an item ``tag``."""
    r = data_pb2.Record(stop_timestamp_ns=stop)
    r.project.workspace.state.items[tag].base_pose.position.x = 1.0
    r.products.extend(product(t, decision=system_pb2.Decision(step="p%d" % n))
                      for n, t in enumerate(times_ns))
    return r


class FakeData:
    """A data set; counts reads of ``_data_records`` so tests can tell whether play looked."""

    def __init__(self, *records):
        self.records = data_pb2.Records(records=records)
        self.reads = 0

    @property
    def _data_records(self):
        self.reads += 1
        return self.records


class Recorder:
    """Stands for a workspace or system: logs every ``_setState`` call as (name, args, kwargs)."""

    def __init__(self, name, events):
        self.name = name
        self.events = events
        self.calls = []

    def _setState(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.events.append(self.name)


class FakeProject:
    def __init__(self, events):
        self.ws = Recorder("workspace", events)
        self.sys = Recorder("system", events)

    def workspace(self):
        return self.ws

    def system(self):
        return self.sys


class FakeViewer:
    """Logs render and screenshot; a screenshot writes a small file unless ``fail_at`` says otherwise."""

    def __init__(self, events, fail_at=None, limit=2000):
        self.events = events
        self.shots = []
        self.fail_at = fail_at
        self.limit = limit  # stops a clock that never passes the end

    def render(self):
        self.events.append("render")
        if self.events.count("render") > self.limit:
            raise RuntimeError("too many cycles")

    def screenshot(self, filename):
        self.events.append("screenshot")
        if len(self.shots) == self.fail_at:
            raise OSError("disk full")
        self.shots.append(filename)
        with open(filename, "wb") as f:
            f.write(b"png")


class FakeClock:
    """``time()`` returns the scripted values in turn (raising any exception among them);
    reading past the end is an error."""

    def __init__(self, *values):
        self.values = list(values)
        self.reads = 0

    def time(self):
        self.reads += 1
        if not self.values:
            raise RuntimeError("clock read too often")
        value = self.values.pop(0)
        if isinstance(value, BaseException):
            raise value
        return value


class FakeClip:
    """Stands for ImageSequenceClip: keeps every clip made and writes a placeholder movie."""

    made = None
    fail = False

    def __init__(self, image_files, *, fps):
        self.image_files = list(image_files)
        self.existing = [f for f in image_files if os.path.exists(f)]
        self.fps = fps
        self.written = []
        FakeClip.made.append(self)

    def write_videofile(self, name):
        if FakeClip.fail:
            raise RuntimeError("encoder failed")
        self.written.append(name)
        with open(name, "wb") as f:
            f.write(b"mp4")


class FakeLogging:
    def __init__(self):
        self.errors = []

    def error(self, *args, **kwargs):
        self.errors.append((args, kwargs))


class Rig:
    """A Replay wired to fakes, run in ``tmp_path`` so "./tmp" and movies land there."""

    def __init__(self, monkeypatch, tmp_path, *records, clock=(0.0,), viewer_fail_at=None):
        monkeypatch.chdir(tmp_path)
        self.events = []
        self.data = FakeData(*records)
        self.project = FakeProject(self.events)
        self.viewer = FakeViewer(self.events, viewer_fail_at)
        self.clock = FakeClock(*clock)
        self.logging = FakeLogging()
        self.clips = []
        monkeypatch.setattr(FakeClip, "made", self.clips)
        monkeypatch.setattr(FakeClip, "fail", False)
        for name, value in (("time", self.clock), ("logging", self.logging),
                            ("ImageSequenceClip", FakeClip)):
            monkeypatch.setattr(mirvane.replay, name, value)
        self.replay = mirvane.replay.Replay()
        self.replay.setProject(self.project)
        self.replay.setData(self.data)
        self.replay.setViewer(self.viewer)

    def play(self, *args, **kwargs):
        return self.replay.play(*args, **kwargs)

    @property
    def shown(self):
        """The snapshot handed to the system in each cycle."""
        return [args[0] for args, _ in self.project.sys.calls]

    @property
    def frame_names(self):
        return [os.path.basename(f) for f in self.clips[0].image_files]
