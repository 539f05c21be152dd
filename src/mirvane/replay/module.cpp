// mirvane.replay: the module's statements, run once at import.
#include "mirvane/replay/names.hpp"
#include "mirvane/replay/replay.hpp"

namespace mirvane::replay {

static frame::Result statements() {
    if (!frame::import_module(global::time)) return failed();
    if (!frame::import_module(name::numpy, global::np)) return failed();
    if (!frame::import_module(global::logging)) return failed();
    if (!frame::import_module(global::os)) return failed();
    if (!frame::import_module(global::shutil)) return failed();
    if (!frame::import_from(name::mirvane_movie, {global::ImageSequenceClip})) return failed();
    if (!frame::import_from(name::mirvane_project, {global::Project})) return failed();
    if (!frame::import_from(name::mirvane_data, {global::Data})) return failed();
    if (!frame::import_from(name::mirvane_viewer, {name::WorkspaceViewer})) return failed();
    if (!frame::import_from(name::dravik_api, {global::system_pb2})) return failed();
    if (!frame::bind_global(global::_MOVIE_TMP_PNG_PATH, text::frame_directory)) return failed();
    if (!frame::bind_global(global::_MOVIE_EXT, text::movie_extension)) return failed();

    frame::Ref replay = frame::make_class(
        "Replay", {{init},
                   {set_project},
                   {set_data},
                   {set_viewer},
                   {play, {number::minus_one, number::real_time, Py_None, number::ten}}});
    if (!replay || !frame::bind_global(name::Replay, replay.get())) return failed();
    return frame::none();
}

}  // namespace mirvane::replay

PyMODINIT_FUNC PyInit_replay() {
    static const frame::ModuleDef definition{"replay", "mirvane.replay", mirvane::replay::statements};
    return frame::init_module(definition);
}
