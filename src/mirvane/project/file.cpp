// The project file: the JSON text of the project's snapshot, under a name
// ending with MV_PROJECT_FILE_EXT (compared with the lower-cased path).
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "mirvane/project/names.hpp"
#include "mirvane/project/project.hpp"

namespace mirvane::project {

namespace {

// assert file.lower().endswith(MV_PROJECT_FILE_EXT)
bool assert_project_file_name(PyObject* file) {
    return frame::assert_lower_endswith(file, global::MV_PROJECT_FILE_EXT);
}

// Writes `text` through the newly created file `opened`, makes sure it
// reached the disk and closes it.
bool write_through(const Ref& opened, PyObject* text) {
    frame::With block;
    Ref f = block.enter(opened);
    if (!f) return false;
    bool written = [&] {
        if (!f.method(name::write, text) || !f.method(name::flush)) return false;
        Ref descriptor = f.method(name::fileno);
        if (!descriptor) return false;
        return bool(global::os.get().method(name::fsync, descriptor));
    }();
    return block.exit(written);
}

// Removes a temporary file after a failure, keeping that failure's exception.
void discard(PyObject* path) {
    frame::PendingError pending;
    if (!global::os.get().method(name::remove, path)) PyErr_Clear();
    pending.restore();
}

// os.stat(path).st_mode; -1 with the exception when that fails.
long mode_of(PyObject* path) {
    Ref mode = global::os.get().method(name::stat, path).attr(name::st_mode);
    return mode ? PyLong_AsLong(mode.get()) : -1;
}

// Gives `path` the permission bits of `file`, when there is such a file.
bool keep_mode(PyObject* file, PyObject* path) {
    Ref exists = global::os.get().attr(name::path).method(name::exists, file);
    int present = frame::truth(exists);
    if (present <= 0) return present == 0;
    long mode = mode_of(file);
    Ref permissions = mode == -1 ? Ref{} : Ref::steal(PyLong_FromLong(mode & 07777));
    if (!permissions) return false;
    return bool(global::os.get().method(name::chmod, path, permissions));
}

// Whether `path`, followed through links, is a regular file: 1, or 0 when
// there is nothing by that name. Anything else is refused naming `file`, the
// name given: a directory with IsADirectoryError, as open() would, and a
// device or FIFO, which reading could block on or never finish, with OSError
// EINVAL "not a regular file, so it is not <refused>".
int regular_file(PyObject* path, PyObject* file, const char* refused) {
    long mode = mode_of(path);
    if (mode == -1) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (S_ISREG(mode)) return 1;
    if (S_ISDIR(mode)) {
        frame::raise_os_error(EISDIR, strerror(EISDIR), file);
    } else {
        std::string reason = std::string("not a regular file, so it is not ") + refused;
        frame::raise_os_error(EINVAL, reason.c_str(), file);
    }
    return -1;
}

// Refuses, before anything is written, what the rename must not replace:
// anything but a regular file, and a file that may not be written, as
// opening it for writing would (the rename needs only the directory to be
// writable). `target` is the file that `file`, the name given, stands for.
bool refuse_unreplaceable(PyObject* target, PyObject* file) {
    int regular = regular_file(target, file, "replaced");
    if (regular <= 0) return regular == 0;  // a new file: the directory decides
    Ref descriptor = global::os.get().method(name::open, file, number::write_only);
    return descriptor && global::os.get().method(name::close, descriptor);
}

// Writes `text` to a new, uniquely named file in `directory`; gives its path.
// The name starts with at most 40 characters of `base_name`, so that it stays
// within the file system's limit whatever the project file is called. A
// directory that may not be written is a PermissionError naming `given`, the
// name the caller knows, not the temporary one.
Ref write_temporary(PyObject* directory, PyObject* base_name, PyObject* text, PyObject* given) {
    Ref prefix = Ref::steal(PyUnicode_FromFormat(".%.40S.", base_name));
    if (!prefix) return {};
    Ref temporary;
    Ref opened = frame::create_unique(prefix.get(), ".tmp", [&](PyObject* temporary_name) {
        temporary = global::os.get().attr(name::path).method(name::join, directory, temporary_name);
        return temporary ? frame::call(builtin::open, temporary, text::create_mode) : Ref{};
    });
    if (!opened) {
        if (PyErr_ExceptionMatches(PyExc_PermissionError)) {
            PyErr_Clear();
            frame::raise_os_error(EACCES, strerror(EACCES), given);
        }
        return {};
    }
    if (!write_through(opened, text)) {
        discard(temporary.get());
        return {};
    }
    return temporary;
}

// Replaces `file` by a file holding `text`, atomically: a new file is written
// beside it and renamed over it, so a failure at any point leaves the old
// file as it was and no temporary file behind. `given` is the name `file`
// was given by, for errors.
bool replace_file(PyObject* file, PyObject* directory, PyObject* base_name, PyObject* text, PyObject* given) {
    Ref temporary = write_temporary(directory, base_name, text, given);
    if (!temporary) return false;
    if (!keep_mode(file, temporary.get()) || !global::os.get().method(name::replace, temporary, file)) {
        discard(temporary.get());
        return false;
    }
    return true;
}

// save(file): the name is checked before anything is touched, and the JSON
// text is complete before the file system is changed.
Result save_file(const Args& args) {
    PyObject* self = args[0];
    PyObject* file = args[1];
    if (frame::assertions_enabled() && !assert_project_file_name(file)) return failed();

    Ref snapshot = frame::method(self, name::_getSnapshot);
    if (!snapshot) return failed();
    // Keys sorted, so that the same project gives the same file in every process.
    Ref json_string = global::MessageToJson.get()(snapshot, frame::kw(name::sort_keys, Py_True));
    if (!json_string) return failed();

    Ref path, base_name;
    if (!frame::unpack_pair(global::os.get().attr(name::path).method(name::split, file), path, base_name)) {
        return failed();
    }
    int has_directory = frame::truth(path);
    if (has_directory < 0) return failed();
    if (has_directory) {
        if (!global::os.get().method(name::makedirs, path, frame::kw(name::exist_ok, Py_True))) return failed();
    }
    // A link is followed, as writing through it would be: the file it names
    // is the one replaced, and the link stays.
    Ref target = global::os.get().attr(name::path).method(name::realpath, file);
    if (!target || !refuse_unreplaceable(target.get(), file)) return failed();
    Ref directory, target_name;
    if (!frame::unpack_pair(global::os.get().attr(name::path).method(name::split, target), directory,
                            target_name)) {
        return failed();
    }
    if (!replace_file(target.get(), directory.get(), target_name.get(), json_string.get(), file)) return failed();
    return frame::none();
}

// The text's first character after JSON white space; 0 when there is none.
Py_UCS4 first_character(PyObject* text) {
    static constexpr std::string_view white_space = " \t\n\r";
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c >= 128 || white_space.find(char(c)) == std::string_view::npos) return c;
    }
    return 0;
}

// Parse reads an array as a message with nothing set, and other values as
// fields it does not know. Text that starts with a JSON value other than an
// object is refused with json_format's own ParseError; text that is no JSON
// at all is left to Parse, which says what is wrong with it.
bool refuse_other_top_level(PyObject* json_string) {
    static constexpr std::string_view other_values = "[\"-0123456789tfn";
    Py_UCS4 first = PyUnicode_Check(json_string) ? first_character(json_string) : 0;
    if (first == 0 || first >= 128 || other_values.find(char(first)) == std::string_view::npos) return true;
    Ref parse_error = Ref::steal(PyImport_Import(name::json_format)).attr(name::ParseError);
    if (parse_error) {
        PyErr_Format(parse_error.get(),
                     "Failed to parse JSON: a project file holds one JSON object, and this text starts with '%c'.",
                     int(first));
    }
    return false;
}

// The project file's text, read whole and parsed into a new snapshot; the
// file is closed again before the project is touched.
Ref read_snapshot(PyObject* file) {
    frame::With block;
    Ref f = block.enter(frame::call(builtin::open, file, text::read_mode));
    if (!f) return {};
    Ref snapshot;
    bool parsed = [&] {
        Ref json_string = f.method(name::read);
        if (!json_string || !refuse_other_top_level(json_string.get())) return false;
        snapshot = global::project_pb2.get().attr(name::ProjectSnapshot)();
        if (!snapshot) return false;
        return bool(global::Parse.get()(json_string, snapshot));
    }();
    if (!block.exit(parsed)) return {};
    return snapshot;
}

// After a failed _setSnapshot: _behaviors holds the dict it held before, and
// the workspace, if it changed, is set back from its earlier snapshot. A
// failure here cannot be raised in place of the one being undone, so it is
// reported as the interpreter reports exceptions it cannot raise.
void put_back(PyObject* self, const Ref& workspace, const Ref& workspace_before, const Ref& behaviors_before) {
    if (PyObject_SetAttr(self, name::_behaviors, behaviors_before.get()) < 0) PyErr_WriteUnraisable(self);
    Ref workspace_now = workspace.method(name::_getSnapshot);
    int unchanged = workspace_now ? PyObject_RichCompareBool(workspace_now.get(), workspace_before.get(), Py_EQ) : -1;
    if (unchanged == 1) return;
    PyErr_Clear();
    Ref restore = workspace.attr(name::_setSnapshot);
    if (!frame::call(restore, workspace_before)) PyErr_WriteUnraisable(restore ? restore.get() : workspace.get());
}

// self._setSnapshot(snapshot), all or nothing: when it fails, the project is
// put back as it was and that failure goes on unchanged.
bool restore_all_or_nothing(PyObject* self, const Ref& snapshot) {
    Ref workspace = frame::method(self, name::workspace);
    Ref workspace_before = workspace.method(name::_getSnapshot);
    if (!workspace_before) return false;
    Ref behaviors_before = frame::attr(self, name::_behaviors);
    if (!behaviors_before) return false;
    if (frame::method(self, name::_setSnapshot, snapshot)) return true;
    frame::PendingError failure;
    put_back(self, workspace, workspace_before, behaviors_before);
    failure.restore();
    return false;
}

// load(file): the whole file is parsed before the project changes, and the
// project changes completely or not at all.
Result load_file(const Args& args) {
    PyObject* self = args[0];
    PyObject* file = args[1];
    if (frame::assertions_enabled()) {
        Ref exists = global::os.get().attr(name::path).method(name::exists, file);
        if (!frame::assert_true(exists)) return failed();
        if (!assert_project_file_name(file)) return failed();
    }
    // A missing file is left to open(), which says so.
    if (regular_file(file, file, "read") < 0) return failed();
    Ref snapshot = read_snapshot(file);
    if (!snapshot) return failed();
    if (!restore_all_or_nothing(self, snapshot)) return failed();
    return frame::none();
}

}  // namespace

const frame::MethodDef save{name::save,
                            {{name::self}, {name::file, Kind::Str}},
                            {&name::path, &name::_, &name::f, &name::snapshot, &name::json_string},
                            {{name::file, "str"}},
                            save_file};
const frame::MethodDef load{name::load,
                            {{name::self}, {name::file, Kind::Str}},
                            {&name::f, &name::json_string, &name::snapshot},
                            {{name::file, "str"}},
                            load_file};

}  // namespace mirvane::project
