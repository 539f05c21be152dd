"""mirvane.movie.ImageSequenceClip: every image once and in order, and a movie written whole or not at all."""

import itertools
import os

import numpy as np
import pytest
from imageio_ffmpeg import read_frames
from moviepy.video.io.ffmpeg_writer import FFMPEG_VideoWriter
from PIL import Image

from mirvane.movie import ImageSequenceClip

COUNTS = [1, 2, 11, 20, 101]
BITS, BAND = 7, 8  # an image's number as 7 black or white bands 8 pixels wide: it survives lossy coding


@pytest.fixture(scope="module")
def numbered(tmp_path_factory):
    directory = tmp_path_factory.mktemp("numbered")
    paths = []
    for k in range(max(COUNTS)):
        bands = np.repeat([255 * ((k >> bit) & 1) for bit in range(BITS)], BAND).astype(np.uint8)
        paths.append(str(directory / ("%03d.png" % k)))
        Image.fromarray(np.tile(bands[None, :, None], (BAND, 1, 3))).save(paths[-1])
    return paths


def numbers_shown(movie):
    """Each frame's number, decoded by the bundled ffmpeg."""
    frames = read_frames(movie)
    width, height = next(frames)["size"]
    shown = []
    for raw in frames:
        row = np.frombuffer(raw, np.uint8).reshape(height, width, 3)[height // 2]
        shown.append(sum(1 << bit for bit in range(BITS) if row[bit * BAND + BAND // 2].mean() > 128))
    return shown


@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("fps", [1, 3, 5, 7, 10, 24, 30, 60, 240])
def test_frame_k_of_the_movie_is_image_k(numbered, tmp_path, fps, count):
    movie = str(tmp_path / "m.mp4")
    ImageSequenceClip(numbered[:count], fps=fps).write_videofile(movie)
    assert numbers_shown(movie) == list(range(count))


def test_an_interrupted_write_keeps_the_old_movie(numbered, tmp_path, monkeypatch):
    movie = tmp_path / "m.mp4"
    ImageSequenceClip(numbered[:2], fps=10).write_videofile(str(movie))
    old = movie.read_bytes()
    write_frame, calls = FFMPEG_VideoWriter.write_frame, itertools.count()

    def interrupted(writer, frame):
        if next(calls) == 5:
            raise KeyboardInterrupt
        write_frame(writer, frame)

    monkeypatch.setattr(FFMPEG_VideoWriter, "write_frame", interrupted)
    with pytest.raises(KeyboardInterrupt):
        ImageSequenceClip(numbered[:20], fps=10).write_videofile(str(movie))
    assert movie.read_bytes() == old and os.listdir(tmp_path) == ["m.mp4"]
