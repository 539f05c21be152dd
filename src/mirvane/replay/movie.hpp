// Movie capture for play(): the movie name check, a frame directory of this
// call's own, one PNG frame per playback cycle, and the MP4 written from them.
#pragma once

#include "frame/frame.hpp"

namespace mirvane::replay {

// assert moviename.lower().endswith(_MOVIE_EXT)
bool check_movie_name(PyObject* moviename);

// Refuses, as open() would, a movie name that cannot be written: one naming a
// directory, or in a directory that is missing or not writable. The movie is
// written beside its name (a link followed) and renamed over it.
bool check_movie_destination(PyObject* moviename);

// Nothing is removed when play fails or is interrupted: the frame directory
// and the frames written so far stay, for the caller to inspect or remove.
class MovieCapture {
public:
    // Creates _MOVIE_TMP_PNG_PATH when missing, and in it a fresh directory
    // for this call's frames, so that files the call did not write are never
    // touched and two playbacks never mix their frames.
    bool prepare();

    // Has the viewer write the frame of clock `t`, named from the clock
    // ("tmp_{:08.2f}.png"); a name already used in this call gets a suffix.
    bool capture(PyObject* viewer, PyObject* t);

    // Writes the frames, in capture order, as the movie `moviename` at `fps`
    // frames per second, then removes the frames and any directory made for
    // them; when writing fails, the frames stay. No frames at all is a
    // ValueError, as a run that ends before it starts plays no cycle; the
    // empty directory made for them is removed first.
    bool write(PyObject* moviename, PyObject* fps);

    // image_files, for the movie writer: every frame path in capture order.
    PyObject* image_files() const noexcept { return image_files_.get(); }

private:
    // Removes the frame directory, and _MOVIE_TMP_PNG_PATH when this call
    // made it and nothing else is in it.
    bool remove_frames();

    frame::Ref image_files_;
    frame::Ref frames_directory_;
    frame::Ref created_root_;  // _MOVIE_TMP_PNG_PATH, when this call made it
    frame::Ref last_name_;  // the clock name of the previous frame
    long repeats_ = 0;      // how often it has been used in a row
};

}  // namespace mirvane::replay
