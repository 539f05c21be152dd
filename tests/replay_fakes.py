"""Stand-ins for the collaborators of mirvane.replay.Replay.play, recording what they receive."""

import os
from types import SimpleNamespace

import mirvane.replay
from dravik.api import data_pb2, system_pb2

SECOND = 10 ** 9


def product(t_ns, **fields):
    return data_pb2.Product(timestamp_ns=t_ns, **fields)


def record(times_ns, stop=0, tag="r0"):
    """Decision products "p0", "p1", ... at ``times_ns``; the starting workspace holds item ``tag``."""
    r = data_pb2.Record(stop_timestamp_ns=stop)
    r.project.workspace.state.items[tag].base_pose.position.x = 1.0
    r.products.extend(product(t, decision=system_pb2.Decision(step="p%d" % n)) for n, t in enumerate(times_ns))
    return r


class FakeData:
    """Counts reads of ``_data_records``, to tell whether play looked at the records."""

    def __init__(self, *records):
        self.records = data_pb2.Records(records=records)
        self.reads = 0

    @property
    def _data_records(self):
        self.reads += 1
        return self.records


class Recorder:
    """A workspace or system: keeps each ``_setState`` call as (args, kwargs)."""

    def __init__(self, name, events):
        self.name, self.events, self.calls = name, events, []

    def _setState(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.events.append(self.name)


class FakeViewer:
    def __init__(self, events, fail_at=None):
        self.events, self.fail_at, self.shots = events, fail_at, []

    def render(self):
        self.events.append("render")
        if self.events.count("render") > 2000:
            raise RuntimeError("the clock never passes the end")

    def screenshot(self, *, filename):  # keyword only, as play must call it
        self.events.append("screenshot")
        if len(self.shots) == self.fail_at:
            raise OSError("disk full")
        self.shots.append(filename)
        with open(filename, "wb") as f:
            f.write(b"png")


class FakeClock:
    """``time()`` returns, or raises, the scripted values in turn; one read too many is an error."""

    def __init__(self, *values):
        self.values, self.reads = list(values), 0

    def time(self):
        self.reads += 1
        if not self.values:
            raise RuntimeError("clock read too often")
        value = self.values.pop(0)
        if isinstance(value, BaseException):
            raise value
        return value


class FakeClip:
    """ImageSequenceClip: notes the frames (and which exist now) and writes a placeholder movie."""

    made = []
    fail = False

    def __init__(self, image_files, /, *, fps):
        self.image_files, self.fps, self.written = list(image_files), fps, []
        self.existing = [f for f in image_files if os.path.exists(f)]
        FakeClip.made.append(self)

    def write_videofile(self, name, /):
        if FakeClip.fail:
            raise RuntimeError("encoder failed")
        self.written.append(name)
        with open(name, "wb") as f:
            f.write(b"mp4")


class Rig:
    """A Replay wired to fakes and run in ``tmp_path``, so "./tmp" and movies land there."""

    def __init__(self, monkeypatch, tmp_path, *records, clock=(0.0, 0.0, 1.0), viewer_fail_at=None):
        monkeypatch.chdir(tmp_path)
        self.events, self.errors, self.clips = [], [], []
        self.data = FakeData(*records)
        self.ws, self.sys = Recorder("workspace", self.events), Recorder("system", self.events)
        self.viewer = FakeViewer(self.events, viewer_fail_at)
        self.clock = FakeClock(*clock)
        logging = SimpleNamespace(error=lambda *a, **k: self.errors.append((a, k)))
        monkeypatch.setattr(FakeClip, "made", self.clips)
        monkeypatch.setattr(FakeClip, "fail", False)
        for name, value in (("time", self.clock), ("logging", logging), ("ImageSequenceClip", FakeClip)):
            monkeypatch.setattr(mirvane.replay, name, value)
        self.replay = mirvane.replay.Replay()
        self.replay.setProject(SimpleNamespace(workspace=lambda: self.ws, system=lambda: self.sys))
        self.replay.setData(self.data)
        self.replay.setViewer(self.viewer)

    def play(self, *args, **kwargs):
        return self.replay.play(*args, **kwargs)

    @property
    def shown(self):
        """The snapshot handed to the system in each cycle."""
        return [args[0] for args, _ in self.sys.calls]

    @property
    def frame_names(self):
        return [os.path.basename(f) for f in self.clips[0].image_files]
