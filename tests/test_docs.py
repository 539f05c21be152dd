"""The README's tour and the pages' examples, run or parsed as they are written, so that they cannot rot."""

import json
import re
import shlex
from pathlib import Path

import pytest

from helpers import mirvane
from mirvane.cli import build_parser

ROOT = Path(__file__).resolve().parent.parent
PAGES = sorted((ROOT / "docs").rglob("*.md"))


def commands(markdown, heading=None):
    """The ``mirvane`` command lines of the ``sh`` blocks (under ``heading`` only, if given), comments
    dropped, as are optional parts written ``[--index I]``, and a line whose quote is still open joined
    to the next."""
    if heading is not None:
        markdown = markdown.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    found = []
    for block in re.findall(r"^```sh\n(.*?)^```", markdown, re.M | re.S):
        pending = ""
        for line in block.splitlines():
            pending += re.sub(r" \[[^]'\"]*\]", "", line) + "\n"
            try:
                words = shlex.split(pending, comments=True)
            except ValueError:  # a quote runs on to the next line
                continue
            pending = ""
            if words and words[0] == "mirvane":
                found.append(words[1:])
    return found


def test_the_readme_tour_runs(tmp_path):
    tour = commands((ROOT / "README.md").read_text(), "A five-minute tour")
    assert [words[0] for words in tour] == ["record", "record", "events", "replay", "replay", "diff", "index", "runs"]
    # The events page's examples and the catalog page's questions, asked of the tour's files.
    questions = commands((ROOT / "docs/events.md").read_text()) + [
        words for words in commands((ROOT / "docs/many-runs.md").read_text())
        if words[:2] in (["runs", "--where"], ["runs", "--sql"])]
    for words in tour + questions:
        if "--serve" in words:
            continue   # serves until stopped
        done = mirvane(*words, cwd=tmp_path)
        # diff's status 1 says the runs differ, as they do.
        assert done.returncode == (1 if words[0] == "diff" else 0), (words, done.stderr)
    # The clip is of a drop, as the tour says.
    [clip] = [words for words in tour if "--event" in words]
    number = int(clip[clip.index("--event") + 1])
    listed = mirvane("events", "bad.rec", "--format", "json", cwd=tmp_path).stdout.splitlines()
    assert [json.loads(line)["kind"] for line in listed if json.loads(line)["number"] == number] == ["drop"]
    assert (tmp_path / "drop.mp4").stat().st_size > 0


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT / "docs")))
def test_the_pages_commands_parse(page):
    """Every example command of every page is one the command takes, its options as they are."""
    for words in commands(page.read_text()):
        build_parser().parse_args(words)
