"""What a recording has that a project lacks: the robots, cameras and items a replay could not draw."""

from typing import TYPE_CHECKING, Dict, Iterable, Iterator, Set, Tuple, Union

import numpy as np

from ..formats.columns import PARTS, Block, block_columns
from . import warn

if TYPE_CHECKING:
    from dravik.api.data_pb2 import Product, Record

    from ..project import Project

KINDS = ("robots", "cameras", "items")


class RecordedNames:
    """The names of each kind that records' work cells and products use, gathered as they are read."""

    def __init__(self) -> None:
        self.names: Dict[str, Set[str]] = {kind: set() for kind in KINDS}

    def record(self, record: "Record") -> None:
        """Take the names of the record's work cell (its products are taken one by one)."""
        workspace = record.project.workspace
        for kind in KINDS:
            self.names[kind].update(getattr(workspace, kind), getattr(workspace.state, kind))

    def folded(self, blocks: Iterable[Block]) -> Iterator[Block]:
        """``blocks`` of products as they come, the names of each taken on its way (as ``product``)."""
        perception_bit, controller_bit = (1 << PARTS.index(part) for part in ("perception", "controller"))
        for block in blocks:
            c = block_columns(block)
            perception = (c.parts & perception_bit) != 0    # as ``product``: perception's cameras,
            controller = ~perception & ((c.parts & controller_bit) != 0)    # else the controller's names
            seen = c.camera[np.repeat(perception, np.diff(c.camera_offsets))]
            self.names["cameras"].update(c.strings[code] for code in np.unique(seen).tolist())
            for kind, codes in (("robots", c.robot[controller]), ("items", c.grasped_item[controller])):
                self.names[kind].update(c.strings[code] for code in np.unique(codes).tolist() if code)
            yield block

    def product(self, product: "Product") -> None:
        names = self.names
        if product.HasField("perception"):
            names["cameras"].update(product.perception.camera_poses)
        elif product.HasField("controller"):
            controller = product.controller
            names["robots"].update([controller.robot] if controller.robot else [])
            names["items"].update([controller.grasped_item] if controller.grasped_item else [])


def recorded_names(records: Iterable[Tuple["Record", Iterable["Product"]]]) -> RecordedNames:
    """The names of each kind that the records' work cells and products use, from each record
    and its products (``ProductStream.records`` gives them a product at a time)."""
    found = RecordedNames()
    for record, products in records:
        found.record(record)
        for product in products:
            found.product(product)
    return found


def lacking(project: "Project", records: Union[Iterable["Record"], RecordedNames]) -> str:
    """In words, what the records (or the names gathered from them) have that ``project`` lacks,
    and robots its own behaviours name that it lacks; empty when nothing is."""
    workspace = project.workspace()
    names = (records if isinstance(records, RecordedNames) else
             recorded_names((record, record.products) for record in records)).names
    held = {"robots": set(workspace.robots()), "cameras": set(workspace.cameras()), "items": set(workspace.items())}
    missing = {kind: names - held[kind] for kind, names in names.items()}
    parts = [f"{kind} {', '.join(sorted(names))}" for kind, names in missing.items() if names]
    ghosts = {b.robot() for b in project.behaviors().values() if b.robot()} - held["robots"]
    if ghosts:
        parts.append(f"robots {', '.join(sorted(ghosts))} that its behaviours name")
    return "; ".join(parts)


def warn_lacking(project: "Project", records: Union[Iterable["Record"], RecordedNames], project_path: str,
                 recording_path: str) -> None:
    """One warning line on stderr when ``project`` lacks what the records have."""
    what = lacking(project, records)
    if what:
        warn(f"warning: {project_path} lacks what {recording_path} has: {what}; "
             "a replay shows only what the project has (give the recording's own project file)")
