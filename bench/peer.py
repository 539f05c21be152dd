"""Replay.play as plain interpreted Python: the baseline the native module is measured against.

It takes the same steps in the same order as ``mirvane.replay.Replay`` (argument
checks, guard, record choice, one snapshot per product, initial placement, frame
directory, time axis, playback loop, movie) and reads the same module-level names
at every use, so rebinding ``peer.ImageSequenceClip`` works as it does on
``mirvane.replay``. It also follows the native module where that differs from the
plain algorithm: speed and fps are refused unless positive, speed when infinite,
so is a movie name that cannot be written, an index naming no record is an
IndexError, frames go to a fresh ``frames-<pid>-<n>`` directory inside
``_MOVIE_TMP_PNG_PATH``, a frame name that repeats the previous one gets a
``-n`` suffix, and the movie is made with ``mirvane.movie``'s clip, none when
there are no frames. Benchmark use only.
"""

import errno
import time
import numpy as np
import logging
import os
import shutil
from mirvane.movie import ImageSequenceClip
from mirvane.project import Project
from mirvane.data import Data
from mirvane.viewer import WorkspaceViewer  # noqa: F401  (bound, as the native module does)
from dravik.api import system_pb2

_MOVIE_TMP_PNG_PATH = "./tmp"
_MOVIE_EXT = ".mp4"

# Numbers the frame directories of this process, as the native module does.
_playbacks = 0


def _check_type(name, value, expected):
    if type(value) is not expected:
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % (name, expected.__name__, type(value).__name__))


def _frames_directory():
    """Creates _MOVIE_TMP_PNG_PATH when missing and a fresh directory in it; returns
    (that directory, whether the root was created here)."""
    global _playbacks
    created_root = False
    if not os.path.exists(_MOVIE_TMP_PNG_PATH):
        os.mkdir(_MOVIE_TMP_PNG_PATH)
        created_root = True
    attempt = 1
    while True:
        _playbacks += 1
        directory = os.path.join(_MOVIE_TMP_PNG_PATH, "frames-%d-%d" % (os.getpid(), _playbacks))
        try:
            os.mkdir(directory)
            return directory, created_root
        except FileExistsError:
            if attempt == 100:
                raise
            attempt += 1


class PeerReplay:

    def __init__(self):
        self._project = Project()
        self._data = Data()
        self._viewer = None

    def setProject(self, project: "Project"):
        self._project = project

    def setData(self, data: "Data"):
        self._data = data

    def setViewer(self, viewer: "WorkspaceViewer"):
        self._viewer = viewer

    def play(self, index: "int" = -1, speed: "float" = 1.0, moviename: "str" = None, fps: "int" = 10):
        # The native binding converts and type-checks before anything else.
        speed = speed if type(speed) is float else float(speed)
        _check_type("index", index, int)
        if moviename is not None:
            _check_type("moviename", moviename, str)
        _check_type("fps", fps, int)

        if not (self._project and self._data and self._viewer):
            logging.error("Please set a project, data, and viewer to use replay")
            return None
        movie = moviename is not None and len(moviename) > 0
        if movie:
            assert moviename.lower().endswith(_MOVIE_EXT)
        if not speed > 0:
            raise ValueError("speed must be a positive number")
        if speed == float("inf"):
            raise ValueError("speed must be a finite number")
        if movie and not fps > 0:
            raise ValueError("fps must be a positive integer")
        if movie:
            _check_destination(moviename)

        data_records = self._data._data_records
        if index == -1:
            timestamps = []
            for i in range(len(data_records.records)):
                record = data_records.records[i]
                timestamps.append(record.stop_timestamp_ns)
            index = int(np.argmax(timestamps))
        else:
            assert index < len(data_records.records)
            if not -len(data_records.records) <= index < len(data_records.records):
                raise IndexError("list index out of range")
        record = data_records.records[index]

        state = system_pb2.SystemState(workspace=record.project.workspace.state)
        time_ns = []
        states = []
        for product in record.products:
            time_ns.append(product.timestamp_ns)
            if product.HasField("perception"):
                state.perception.CopyFrom(product.perception)
                camera_poses = product.perception.camera_poses
                for camera, pose in camera_poses.items():
                    state.workspace.cameras[camera].base_pose.CopyFrom(pose)
            elif product.HasField("decision"):
                state.decision.CopyFrom(product.decision)
            elif product.HasField("planner"):
                state.planner.CopyFrom(product.planner)
            elif product.HasField("controller"):
                state.controller.CopyFrom(product.controller)
                robot = product.controller.robot
                if robot:
                    robot_positions = product.controller.feedback.joint.positions
                    state.workspace.robots[robot].joint_positions.CopyFrom(robot_positions)
                    effector_positions = product.controller.feedback.effector.positions
                    state.workspace.robots[robot].effector_positions.CopyFrom(effector_positions)
                grasped_item = product.controller.grasped_item
                grasped_item_pose = product.controller.grasped_item_pose
                if grasped_item:
                    state.workspace.items[grasped_item].base_pose.CopyFrom(grasped_item_pose)
            new_state = system_pb2.SystemState()
            new_state.CopyFrom(state)
            states.append(new_state)

        self._project.workspace()._setState(state=record.project.workspace.state)

        image_files = []
        if movie:
            frames_directory, created_root = _frames_directory()
            last_name = None
            repeats = 0

        time_s = 1e-9 * np.array(time_ns)
        time_s = time_s - time_s[0]

        k = 0
        t = 0
        t0 = time.time()
        while t <= time_s[-1]:
            if movie:
                t = speed * k / fps
            else:
                t = speed * (time.time() - t0)
            i = np.argmin(np.abs(t - time_s))
            state = states[i]
            self._project.workspace()._setState(state.workspace)
            self._project.system()._setState(state)
            self._viewer.render()
            if movie:
                name = "tmp_{:08.2f}.png".format(t)
                repeated = name == last_name
                last_name = name
                repeats = repeats + 1 if repeated else 0
                if repeated:
                    name = "tmp_{:08.2f}-{}.png".format(t, repeats)
                image_file = os.path.join(frames_directory, name)
                image_files.append(image_file)
                self._viewer.screenshot(filename=image_file)
            k = k + 1

        if movie:
            if image_files:
                clip = ImageSequenceClip(image_files, fps=fps)
                clip.write_videofile(moviename)
            shutil.rmtree(frames_directory)
            if created_root:
                # Only when empty: another playback may be using it meanwhile.
                try:
                    os.rmdir(_MOVIE_TMP_PNG_PATH)
                except OSError:
                    pass
            if not image_files:
                raise ValueError("no frames for the movie %r: the record's last product is earlier than its "
                                 "first, so playback ran no cycle" % moviename)
        return None


def _check_destination(moviename):
    target = os.path.realpath(moviename)
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, "Is a directory, not a movie file", moviename)
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise FileNotFoundError(errno.ENOENT, "No such directory to write the movie in", moviename)
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "Permission denied in the movie's directory", moviename)
