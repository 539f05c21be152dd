#include "mirvane/replay/movie.hpp"

#include <errno.h>

#include "mirvane/replay/names.hpp"

namespace mirvane::replay {

namespace {

// os.path.join(directory, name)
Ref joined(PyObject* directory, PyObject* name) {
    return global::os.get().attr(name::path).method(name::join, directory, name);
}

}  // namespace

bool check_movie_destination(PyObject* moviename) {
    Ref target = global::os.get().attr(name::path).method(name::realpath, moviename);
    if (!target) return false;
    int is_directory = frame::truth(global::os.get().attr(name::path).method(name::isdir, target));
    if (is_directory < 0) return false;
    if (is_directory) return frame::raise_os_error(EISDIR, "Is a directory, not a movie file", moviename);

    Ref directory = global::os.get().attr(name::path).method(name::dirname, target);
    if (!directory) return false;
    int has_directory = frame::truth(global::os.get().attr(name::path).method(name::isdir, directory));
    if (has_directory < 0) return false;
    if (!has_directory) return frame::raise_os_error(ENOENT, "No such directory to write the movie in", moviename);
    int writable = frame::truth(global::os.get().method(name::access, directory, number::write_and_search));
    if (writable < 0) return false;
    if (!writable) return frame::raise_os_error(EACCES, "Permission denied in the movie's directory", moviename);
    return true;
}

bool check_movie_name(PyObject* moviename) {
    return frame::assert_lower_endswith(moviename, global::_MOVIE_EXT);
}

bool MovieCapture::prepare() {
    image_files_ = Ref::steal(PyList_New(0));
    if (!image_files_) return false;
    Ref root = global::_MOVIE_TMP_PNG_PATH.get();
    if (!root) return false;
    Ref exists = global::os.get().attr(name::path).method(name::exists, root);
    int present = frame::truth(exists);
    if (present < 0) return false;
    if (!present) {
        if (!global::os.get().method(name::mkdir, root)) return false;
        created_root_ = root;
    }
    frames_directory_ = frame::create_unique(text::frames_prefix, "", [&](PyObject* directory_name) {
        Ref directory = joined(root.get(), directory_name);
        return directory && global::os.get().method(name::mkdir, directory) ? directory : Ref{};
    });
    return bool(frames_directory_);
}

bool MovieCapture::capture(PyObject* viewer, PyObject* t) {
    Ref frame_name = frame::method(text::frame_file, name::format, t);
    if (!frame_name) return false;
    int repeated = last_name_ ? PyObject_RichCompareBool(frame_name.get(), last_name_.get(), Py_EQ) : 0;
    if (repeated < 0) return false;
    last_name_ = frame_name;
    repeats_ = repeated ? repeats_ + 1 : 0;
    if (repeated) {
        Ref count = Ref::steal(PyLong_FromLong(repeats_));
        frame_name = count ? frame::method(text::repeated_frame_file, name::format, t, count) : Ref{};
        if (!frame_name) return false;
    }
    Ref image_file = joined(frames_directory_.get(), frame_name.get());
    if (!image_file || PyList_Append(image_files_.get(), image_file.get()) < 0) return false;
    return bool(frame::method(viewer, name::screenshot, frame::kw(name::filename, image_file)));
}

bool MovieCapture::write(PyObject* moviename, PyObject* fps) {
    if (PyList_GET_SIZE(image_files_.get()) == 0) {
        if (!remove_frames()) return false;
        PyErr_Format(PyExc_ValueError,
                     "no frames for the movie %R: the record's last product is earlier than its first, "
                     "so playback ran no cycle",
                     moviename);
        return false;
    }
    Ref clip = global::ImageSequenceClip.get()(image_files_, frame::kw(name::fps, fps));
    if (!clip || !clip.method(name::write_videofile, moviename)) return false;
    return remove_frames();
}

bool MovieCapture::remove_frames() {
    Ref frames_directory = std::move(frames_directory_);
    Ref created_root = std::move(created_root_);
    if (frames_directory && !global::shutil.get().method(name::rmtree, frames_directory)) return false;
    // Only when empty: another playback may be using it meanwhile.
    if (created_root && !global::os.get().method(name::rmdir, created_root)) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
        PyErr_Clear();
    }
    return true;
}

}  // namespace mirvane::replay
