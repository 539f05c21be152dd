// Replay: holds the project whose workspace and system are driven, the
// recorded data set and the viewer; set up here, played in play.cpp.
#include "mirvane/replay/names.hpp"
#include "mirvane/replay/replay.hpp"

namespace mirvane::replay {

namespace {

using frame::truth;

// Replay(): its own new Project and Data, and no viewer yet.
Result construct(const Args& args) {
    PyObject* self = args[0];
    if (!frame::set_attr(self, name::_project, global::Project.get()())) return failed();
    if (!frame::set_attr(self, name::_data, global::Data.get()())) return failed();
    if (!frame::set_attr(self, name::_viewer, frame::none())) return failed();
    return frame::none();
}

// The setters store what they are given, shared, unchecked.
template <const frame::Name& attribute>
Result store(const Args& args) {
    if (!frame::set_attr(args[0], attribute, Ref::borrow(args[1]))) return failed();
    return frame::none();
}

}  // namespace

const frame::MethodDef init{name::init_, {{name::self}}, {}, {}, construct};
const frame::MethodDef set_project{
    name::setProject, {{name::self}, {name::project}}, {}, {{name::project, "Project"}}, store<name::_project>};
const frame::MethodDef set_data{name::setData, {{name::self}, {name::data}}, {}, {{name::data, "Data"}}, store<name::_data>};
const frame::MethodDef set_viewer{
    name::setViewer, {{name::self}, {name::viewer}}, {}, {{name::viewer, "WorkspaceViewer"}}, store<name::_viewer>};

}  // namespace mirvane::replay
