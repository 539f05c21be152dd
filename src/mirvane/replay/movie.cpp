#include "mirvane/replay/movie.hpp"

#include <errno.h>
#include <unistd.h>

#include "mirvane/replay/names.hpp"

namespace mirvane::replay {

using frame::Global;
using frame::Ref;

namespace {

// os.path.join(directory, name)
Ref joined(PyObject* directory, PyObject* name) {
    static Global os{name::os};
    return os.get().attr(name::path).method(name::join, directory, name);
}

// Raises the OSError subclass that `number` stands for (FileNotFoundError,
// IsADirectoryError, PermissionError), naming `path`.
bool refuse(int number, const char* reason, PyObject* path) {
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", number, reason, path));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

}  // namespace

bool check_movie_destination(PyObject* moviename) {
    static Global os_realpath{name::os};
    Ref target = os_realpath.get().attr(name::path).method(name::realpath, moviename);
    if (!target) return false;
    static Global os_isdir{name::os};
    int is_directory = frame::truth(os_isdir.get().attr(name::path).method(name::isdir, target));
    if (is_directory < 0) return false;
    if (is_directory) return refuse(EISDIR, "Is a directory, not a movie file", moviename);

    static Global os_dirname{name::os};
    Ref directory = os_dirname.get().attr(name::path).method(name::dirname, target);
    if (!directory) return false;
    static Global os_isdir_directory{name::os};
    int has_directory = frame::truth(os_isdir_directory.get().attr(name::path).method(name::isdir, directory));
    if (has_directory < 0) return false;
    if (!has_directory) return refuse(ENOENT, "No such directory to write the movie in", moviename);
    static Global os_access{name::os};
    int writable = frame::truth(os_access.get().method(name::access, directory, number::write_and_search));
    if (writable < 0) return false;
    if (!writable) return refuse(EACCES, "Permission denied in the movie's directory", moviename);
    return true;
}

bool check_movie_name(PyObject* moviename) {
    Ref lowered = frame::method(moviename, name::lower);
    if (!lowered) return false;
    static Global movie_extension{name::_MOVIE_EXT};
    Ref extension = movie_extension.get();
    if (!extension) return false;
    return frame::assert_true(lowered.method(name::endswith, extension), builtin::AssertionError);
}

bool MovieCapture::prepare() {
    image_files_ = Ref::steal(PyList_New(0));
    if (!image_files_) return false;
    static Global root_path{name::_MOVIE_TMP_PNG_PATH};
    Ref root = root_path.get();
    if (!root) return false;
    static Global os_exists{name::os};
    Ref exists = os_exists.get().attr(name::path).method(name::exists, root);
    int present = frame::truth(exists);
    if (present < 0) return false;
    if (!present) {
        static Global os_mkdir{name::os};
        if (!os_mkdir.get().method(name::mkdir, root)) return false;
        created_root_ = true;
    }
    static unsigned long playbacks = 0;
    for (int attempt = 1;; ++attempt) {
        Ref directory_name =
            Ref::steal(PyUnicode_FromFormat("frames-%ld-%lu", static_cast<long>(getpid()), ++playbacks));
        Ref directory = directory_name ? joined(root.get(), directory_name.get()) : Ref{};
        if (!directory) return false;
        static Global os_mkdir{name::os};
        if (os_mkdir.get().method(name::mkdir, directory)) {
            frames_directory_ = directory;
            return true;
        }
        // Left by another process: not ours, take the next name.
        if (attempt == 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) return false;
        PyErr_Clear();
    }
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
    static Global ImageSequenceClip{name::ImageSequenceClip};
    Ref clip = ImageSequenceClip.get()(image_files_, frame::kw(name::fps, fps));
    if (!clip || !clip.method(name::write_videofile, moviename)) return false;
    return remove_frames();
}

bool MovieCapture::remove_frames() {
    static Global shutil{name::shutil};
    if (!shutil.get().method(name::rmtree, frames_directory_)) return false;
    if (created_root_) {
        // Only when empty: another playback may be using it meanwhile.
        static Global root_path{name::_MOVIE_TMP_PNG_PATH};
        Ref root = root_path.get();
        if (!root) return false;
        static Global os{name::os};
        if (!os.get().method(name::rmdir, root)) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
            PyErr_Clear();
        }
    }
    return true;
}

}  // namespace mirvane::replay
