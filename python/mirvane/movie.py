"""The clip that replay movies are made with: every image once, in order, written whole or not at all."""

import math
import os
import signal
import threading
from contextlib import AbstractContextManager, contextmanager, suppress
from bisect import bisect_right
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from moviepy import VideoClip  # type: ignore[import-untyped]
from moviepy.video.io import ffmpeg_writer  # type: ignore[import-untyped]
from moviepy.video.io.ImageSequenceClip import (  # type: ignore[import-untyped]
    ImageSequenceClip as MoviepyImageSequenceClip)
from PIL import Image
from proglog import ProgressBarLogger  # type: ignore[import-untyped]
from tqdm import tqdm

from dravik.api import data_pb2

from ._atomic import PathLike, replacing
from .records import play_seconds
from .cuts import record_span
from .rebinding import rebound

# How far below k / fps a time may fall through rounding and still show image k.
_TIME_SLACK_FRAMES = 1e-6


class ImageSequenceClip(MoviepyImageSequenceClip):  # type: ignore[misc]
    """moviepy's clip of a list of image files, with exact timing.

    ``n`` images at ``fps`` make a clip of exactly ``n`` frames lasting ``n / fps``
    seconds, and the frame at time ``k / fps`` is image ``k`` (moviepy's own clip
    sums float durations and compares float start times, so it can drop or swap
    frames). Sizes come from the image headers; each image is decoded when the
    writer first reaches it, and its alpha channel, if any, is dropped.
    ``write_videofile`` replaces the movie only once the writer has finished.
    """

    def __init__(self, image_files: Sequence[str], fps: float) -> None:
        if not image_files:
            raise ValueError("no images to make a clip of: the list of image files is empty")
        if not fps > 0:
            raise ValueError("fps must be positive")
        VideoClip.__init__(self)
        self.sequence: List[str] = list(image_files)
        self.size = _common_size(self.sequence)
        self.fps = fps
        count = len(self.sequence)
        self.durations = [1.0 / fps] * count
        self.images_starts = [k / fps for k in range(count)]
        self.duration = self.end = _duration(count, fps)
        self._decoded_index: Optional[int] = None
        self._decoded: Any = None
        self.frame_function = self._frame_at

    def write_videofile(self, filename: PathLike, *args: Any, **kwargs: Any) -> None:
        """moviepy's ``write_videofile``, to a temporary file beside ``filename`` that
        replaces it when complete: on any failure the old movie stays as it was."""
        with replacing(filename) as temporary, _checked_writer():
            if kwargs.get("logger", "bar") == "bar":
                kwargs["logger"] = _ProgressBar(os.fspath(filename))
            try:
                super().write_videofile(temporary, *args, **kwargs)
            finally:
                if isinstance(kwargs["logger"], _ProgressBar):
                    kwargs["logger"].close()

    def _frame_at(self, t: float) -> Any:
        index = min(max(math.floor(t * self.fps + _TIME_SLACK_FRAMES), 0), len(self.sequence) - 1)
        if index != self._decoded_index:
            self._decoded = self._image(index)
            self._decoded_index = index
        return self._decoded

    def _image(self, index: int) -> Any:
        """Frame ``index``, decoded."""
        with Image.open(self.sequence[index]) as image:
            return np.asarray(image if image.mode == "RGB" else image.convert("RGB"))


class SideBySideClip(ImageSequenceClip):
    """Two sequences of images of one size side by side, each under its caption (an image as wide
    as one of them): frame k joins image k of each, the shorter sequence holding its last image.
    Written as ``ImageSequenceClip`` writes, whole or not at all."""

    def __init__(self, left: Sequence[str], right: Sequence[str], captions: Tuple[Image.Image, Image.Image],
                 fps: float) -> None:
        count = max(len(left), len(right))

        def held(files: Sequence[str]) -> List[str]:
            return [files[min(k, len(files) - 1)] for k in range(count)] if files else []
        super().__init__(held(left), fps)
        self._right = held(right)
        if not right or _common_size(right) != self.size:
            raise ValueError("the right images must be as many as one at least and of the left ones' size")
        self._captions = captions
        self._width, self._top = self.size[0], max(caption.height for caption in captions)
        self.size = (2 * self._width, self._top + self.size[1])

    def _image(self, index: int) -> Any:
        frame = Image.new("RGB", self.size)
        for k, (files, caption) in enumerate(((self.sequence, self._captions[0]), (self._right, self._captions[1]))):
            frame.paste(caption, (k * self._width, 0))
            with Image.open(files[index]) as image:
                frame.paste(image.convert("RGB"), (k * self._width, self._top))
        return np.asarray(frame)


class _CheckedWriter(ffmpeg_writer.FFMPEG_VideoWriter):  # type: ignore[misc]
    """moviepy's writer, failing when ffmpeg failed: moviepy ignores its exit status once
    every frame is handed over, so a disk that fills while ffmpeg finishes the movie would
    go unnoticed. The ``OSError`` gives ffmpeg's own words, which say why.

    When the writing fails or is interrupted, ffmpeg is killed rather than left to finish a movie
    no one wants, and reaped before the movie's temporary file is removed, which it could
    otherwise create after its removal if it had not opened it yet."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.proc = None
        try:
            with _signals_held():   # ffmpeg started whole, its process known, before a stop raises
                super().__init__(*args, **kwargs)
        except BaseException:
            self._end()
            raise

    def _end(self) -> None:
        proc, self.proc = self.proc, None
        if proc is not None:
            proc.kill()
            proc.wait()
            for pipe in (proc.stdin, proc.stderr):
                if pipe is not None:
                    with suppress(OSError):   # what it had not read: no longer wanted
                        pipe.close()

    def __exit__(self, *exc: Any) -> None:
        if exc[0] is not None:
            self._end()
        proc, said = self.proc, b""
        if exc[0] is None and proc is not None and proc.stderr is not None:
            proc.stdin.close()
            said = proc.stderr.read()
        super().__exit__(*exc)
        if exc[0] is None and proc is not None and proc.returncode:
            raise OSError(f"ffmpeg could not write {self.filename}: {said.decode(errors='replace').strip()}")


# -- clips: a span of a record's movie, made by play as the whole movie is ------------------

def frame_count(span: float, speed: float, fps: int) -> int:
    """How many frames ``Replay.play`` makes of a record spanning ``span`` seconds: one per clock
    step ``speed / fps`` from 0 up to and including the first step past the end."""
    if span < 0:
        return 0
    past = math.floor(span * fps / speed)   # near the first step past the end; settled exactly below
    while speed * past / fps <= span:
        past += 1
    while past > 0 and speed * (past - 1) / fps > span:
        past -= 1
    return past + 1


def frames_within(start: float, end: float, span: float, speed: float, fps: int) -> range:
    """The frames of a record's movie (see ``frame_count``) whose clock, ``speed * k / fps`` as
    play computes it, lies within ``start`` to ``end`` seconds: a start off that grid begins at the
    next frame on it. An ``end`` at or past the record's end reaches the movie's last frame."""
    count = frame_count(span, speed, fps)
    first = min(max(math.ceil(start * fps / speed) - 1, 0), count)
    while first < count and speed * first / fps < start:
        first += 1
    stop = count
    if end < span:
        stop = min(math.floor(end * fps / speed) + 2, count)
        while stop > first and speed * (stop - 1) / fps > end:
            stop -= 1
    return range(first, max(first, stop))


def shown_through(record: data_pb2.Record, t: float) -> data_pb2.Record:
    """The part of ``record`` play needs to show every frame up to the clock ``t`` as the whole
    record shows them: its products up to the one it shows at ``t`` (the nearest, the earlier of
    two as near), if they are in time order; then, if the last is stamped before ``t``, an empty
    product at ``t``, which shows the same state and keeps the clock running to ``t``."""
    stamps = [product.timestamp_ns for product in record.products]
    if any(later < earlier for earlier, later in zip(stamps, stamps[1:])):
        return record
    kept, stamp = shown_stamps(stamps[0], stamps, t)
    if kept == len(stamps):
        return record
    cut = record_span(record, range(kept))
    if stamp is not None:
        cut.products.add(timestamp_ns=stamp)
    return cut


def shown_stamps(first_ns: int, stamps: Sequence[int], t: float) -> Tuple[int, Optional[int]]:
    """``shown_through`` by the stamps of a record whose first product is stamped ``first_ns``,
    in time order (all of them from one on, through the first after ``t`` if any): how many of
    ``stamps`` play needs, and the stamp of the empty product after them, if one is needed."""
    times = [play_seconds(first_ns, stamp) for stamp in stamps]
    kept = bisect_right(times, t)
    if kept == len(times):
        return kept, None
    if abs(t - times[kept]) < abs(t - times[kept - 1]):
        return kept + 1, None
    if times[kept - 1] < t:
        stamp = min(first_ns + math.floor(t * 1e9), stamps[kept])   # never past the next: it is later than t
        while play_seconds(first_ns, stamp) < t:
            stamp += 1
        return kept, stamp
    return kept, None


def keeping(frames: range) -> Callable[[Sequence[str], int], ImageSequenceClip]:
    """An ``ImageSequenceClip`` for play to make its movie with (rebound as
    ``mirvane.replay.ImageSequenceClip``) that keeps only ``frames`` of the images play captured."""
    def clip(image_files: Sequence[str], fps: int) -> ImageSequenceClip:
        return ImageSequenceClip(image_files[frames.start:frames.stop], fps=fps)
    return clip


@contextmanager
def _signals_held() -> Iterator[None]:
    """SIGINT and SIGTERM wait for the block's end: their handlers run then, so that what they
    raise (Ctrl-C's ``KeyboardInterrupt``, say) comes after the block's work, not amid it. Their
    handlers run in the main thread only; in another, the block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    came: List[int] = []
    held: Dict[int, Any] = {}
    try:
        for stop in (signal.SIGINT, signal.SIGTERM):
            if signal.getsignal(stop) is not None:    # None: a handler not set from Python, left alone
                held[stop] = signal.signal(stop, lambda signum, _: came.append(signum))
        yield
    finally:
        for signum, handler in held.items():
            signal.signal(signum, handler)
        for signum in came:
            if callable(held[signum]):
                held[signum](signum, None)
            elif held[signum] == signal.SIG_DFL:
                signal.raise_signal(signum)


def _checked_writer() -> "AbstractContextManager[None]":
    """moviepy writes with ``_CheckedWriter`` within the block."""
    return rebound(ffmpeg_writer, "FFMPEG_VideoWriter", _CheckedWriter)


class _ProgressBar(ProgressBarLogger):  # type: ignore[misc]
    """The frames moviepy writes, as one bar in mirvane's words on standard error (where the
    capture's went); moviepy's own messages ("Building video") and bars are not shown."""

    def __init__(self, movie: str) -> None:
        super().__init__()
        self._movie = movie
        self._bar: "Optional[tqdm[Any]]" = None

    def bars_callback(self, bar: str, attr: str, value: Any, old_value: Any = None) -> None:
        if bar != "frame_index":
            return
        if attr == "total" and self._bar is None:
            self._bar = tqdm(total=value, desc=f"writing {self._movie}", unit="frame", leave=False)
        elif attr == "index" and self._bar is not None and value > self._bar.n:
            self._bar.update(value - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _common_size(image_files: Sequence[str]) -> Tuple[int, int]:
    """The (width, height) all the images share, read from their headers only."""
    size = _size(image_files[0])
    for path in image_files[1:]:
        other = _size(path)
        if other != size:
            raise ValueError("all images must be the same size: %s is %dx%d, %s is %dx%d"
                             % (image_files[0], *size, path, *other))
    return size


def _size(image_file: str) -> Tuple[int, int]:
    with Image.open(image_file) as image:
        size: Tuple[int, int] = image.size
    return size


def _duration(count: int, fps: float) -> float:
    """count / fps, raised by the fewest ulps that make moviepy's frame count
    ``int(duration * fps)`` come out as ``count``."""
    duration = count / fps
    while int(duration * fps) < count:
        duration = math.nextafter(duration, math.inf)
    return duration
