"""An MkDocs hook: the command reference written from the ``mirvane`` command's own argparse
parsers at build time, so the page says what ``--help`` says."""

import argparse
import os
from typing import Any, Iterator, Tuple

#: Where in a page the reference goes.
MARKER = "<!-- commands -->"


def _subcommands(parser: argparse.ArgumentParser) -> Iterator[Tuple[str, argparse.ArgumentParser]]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            yield from action.choices.items()


def reference() -> str:
    """Each parser's help, the whole command's first, as Markdown."""
    os.environ["COLUMNS"] = "80"  # argparse wraps to the terminal; the page has one width
    from mirvane.cli import build_parser
    parser = build_parser()
    parts = ["## mirvane", "", "```text", parser.format_help().rstrip(), "```"]
    for name, sub in _subcommands(parser):
        parts += ["", f"## mirvane {name}", "", "```text", sub.format_help().rstrip(), "```"]
    return "\n".join(parts) + "\n"


def on_page_markdown(markdown: str, **kwargs: Any) -> str:
    return markdown.replace(MARKER, reference()) if MARKER in markdown else markdown
