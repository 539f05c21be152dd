// mirvane.project: the module's statements, run once at import.
#include "mirvane/project/names.hpp"
#include "mirvane/project/project.hpp"

namespace mirvane::project {

static frame::Result statements() {
    if (!frame::import_module(global::os)) return failed();
    // No body uses logging or Dict: they stay module attributes because callers
    // look them up on the module (mirvane.project.logging, .Dict).
    if (!frame::import_module(name::logging)) return failed();
    if (!frame::import_from(name::typing, {name::Dict})) return failed();
    if (!frame::import_from(name::json_format, {global::MessageToJson, global::Parse})) return failed();
    if (!frame::import_from(name::dravik_api, {global::project_pb2})) return failed();
    if (!frame::import_from(name::mirvane_version, {global::version_})) return failed();
    if (!frame::import_from(name::mirvane_constants, {global::MV_PROJECT_FILE_EXT})) return failed();
    if (!frame::import_from(name::mirvane_workspace, {global::Workspace})) return failed();
    if (!frame::import_from(name::mirvane_behavior, {global::Behavior})) return failed();
    if (!frame::import_from(name::mirvane_system, {global::System})) return failed();

    frame::Ref project = frame::make_class(
        "Project", {{init}, {to_str}, {set_workspace}, {workspace}, {add_behavior}, {behaviors}, {system}, {save},
                    {load}, {validate}, {get_snapshot}, {set_snapshot}});
    if (!project || !frame::bind_global(name::Project, project.get())) return failed();
    return frame::none();
}

}  // namespace mirvane::project

PyMODINIT_FUNC PyInit_project() {
    static const frame::ModuleDef definition{"project", "mirvane.project", mirvane::project::statements};
    return frame::init_module(definition);
}
