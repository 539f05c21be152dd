// Conversion to and from a ProjectSnapshot: the version, the workspace and the
// behaviours. The workspace and Behavior convert their own objects; the system
// is not part of a snapshot.
#include "mirvane/project/names.hpp"
#include "mirvane/project/project.hpp"

namespace mirvane::project {

namespace {

Result to_snapshot(const Args& args) {
    PyObject* self = args[0];
    Ref snapshot_class = global::project_pb2.get().attr(name::ProjectSnapshot);
    if (!snapshot_class) return failed();
    Ref package_version = global::version_.get();
    if (!package_version) return failed();
    Ref snapshot = frame::call(snapshot_class, frame::kw(name::version, package_version));
    if (!snapshot) return failed();

    Ref copy_workspace = snapshot.attr(name::workspace).attr(name::CopyFrom);
    if (!copy_workspace) return failed();
    Ref workspace_snapshot = frame::method(self, name::workspace).method(name::_getSnapshot);
    if (!workspace_snapshot) return failed();
    if (!frame::call(copy_workspace, workspace_snapshot)) return failed();

    Ref behaviors = frame::attr(self, name::_behaviors);
    if (!behaviors) return failed();
    bool converted = frame::for_each_item(behaviors.get(), [&](const Ref& key, const Ref& value) {
        Ref copy_entry = snapshot.attr(name::behaviors).item(key.get()).attr(name::CopyFrom);
        if (!copy_entry) return false;
        Ref model = global::Behavior.get().method(name::_ToModel, value);
        return model && frame::call(copy_entry, model);
    });
    if (!converted) return failed();
    return snapshot;
}

// The workspace restores itself in place; the behaviours are replaced by new
// ones under the snapshot's keys, in key order: a message map yields its
// entries in an order that differs from process to process.
Result from_snapshot(const Args& args) {
    PyObject* self = args[0];
    PyObject* snapshot = args[1];
    Ref restore_workspace = frame::method(self, name::workspace).attr(name::_setSnapshot);
    if (!restore_workspace) return failed();
    Ref workspace_message = frame::attr(snapshot, name::workspace);
    if (!workspace_message) return failed();
    if (!frame::call(restore_workspace, workspace_message)) return failed();

    if (!frame::set_attr(self, name::_behaviors, Ref::steal(PyDict_New()))) return failed();

    Ref behavior_models = frame::attr(snapshot, name::behaviors);
    if (!behavior_models) return failed();
    bool restored = frame::for_each_sorted_item(behavior_models.get(), [&](const Ref& key, const Ref& value) {
        Ref behavior = global::Behavior.get().method(name::_FromModel, value);
        if (!behavior) return false;
        Ref behaviors = frame::attr(self, name::_behaviors);
        return behaviors && PyObject_SetItem(behaviors.get(), key.get(), behavior.get()) == 0;
    });
    if (!restored) return failed();
    return frame::none();
}

}  // namespace

const frame::MethodDef get_snapshot{name::_getSnapshot,
                                    {{name::self}},
                                    {&name::snapshot, &name::key, &name::value},
                                    {{name::return_, "project_pb2.ProjectSnapshot"}},
                                    to_snapshot};
const frame::MethodDef set_snapshot{name::_setSnapshot,
                                    {{name::self}, {name::snapshot}},
                                    {&name::key, &name::value},
                                    {{name::snapshot, "project_pb2.ProjectSnapshot"}},
                                    from_snapshot};

}  // namespace mirvane::project
