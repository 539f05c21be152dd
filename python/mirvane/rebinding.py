"""The native modules' globals that the package rebinds, all rebound here.

``mirvane.replay`` and ``mirvane.project`` look their module globals up at each use (ARCHITECTURE:
"Things worth knowing"), and that is how the package steers them without changing their exposed
methods: where ``Replay.play`` writes a movie's frames (``_MOVIE_TMP_PNG_PATH``) and which clip
writes the movie (``ImageSequenceClip``: a clip keeps only a span's frames, the side-by-side movie
keeps them all for itself), the clock a live replay reads (``time``), and the JSON parser
``Project.load`` uses (``Parse``: leniently for files a newer version wrote). The native modules
are imported at each call: they import companions that may import this module. ``rebound`` also
serves for other modules' globals (``mirvane.movie`` checks moviepy's writer so).
"""

import contextlib
from typing import Any, Callable, Iterator


@contextlib.contextmanager
def rebound(module: Any, name: str, value: Any) -> Iterator[None]:
    """``module.name`` is ``value`` for the block, then what it was."""
    old = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, old)


def movie_frames_in(directory: str) -> "contextlib.AbstractContextManager[None]":
    """``Replay.play`` makes a movie's frame directory inside ``directory`` for the block."""
    import mirvane.replay

    return rebound(mirvane.replay, "_MOVIE_TMP_PNG_PATH", directory)


def movie_clip(clip: Callable[..., Any]) -> "contextlib.AbstractContextManager[None]":
    """``Replay.play`` writes its movie with ``clip(image_files, fps=...)`` for the block."""
    import mirvane.replay

    return rebound(mirvane.replay, "ImageSequenceClip", clip)


def project_parser(parse: Callable[[str, Any], Any]) -> "contextlib.AbstractContextManager[None]":
    """``Project.load`` parses a project file's text with ``parse(text, snapshot)`` for the block."""
    import mirvane.project

    return rebound(mirvane.project, "Parse", parse)


def replay_time() -> Any:
    """What ``Replay.play`` reads its ``time.time()`` from now: the time module unless rebound."""
    import mirvane.replay

    return getattr(mirvane.replay, "time")


def set_replay_time(clock: Any) -> None:
    """``Replay.play`` reads ``clock.time()`` as the time from now on (until set again)."""
    import mirvane.replay

    setattr(mirvane.replay, "time", clock)
