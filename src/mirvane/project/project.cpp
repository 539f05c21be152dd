// Project: one workspace, one system and the behaviours keyed by name; its
// constructor, accessors and summary text.
#include "mirvane/project/names.hpp"
#include "mirvane/project/project.hpp"

namespace mirvane::project {

namespace {

// Project(): a new system, a new workspace and no behaviours, in that order.
Result construct(const Args& args) {
    PyObject* self = args[0];
    if (!frame::set_attr(self, name::_system, global::System.get()())) return failed();
    if (!frame::set_attr(self, name::_workspace, global::Workspace.get()())) return failed();
    if (!frame::set_attr(self, name::_behaviors, Ref::steal(PyDict_New()))) return failed();
    return frame::none();
}

// "{}".format(value): the value's own text, as format(value, "") gives it.
Ref formatted(const Ref& value) { return frame::method(text::braces, name::format, value); }

// "Workspace\n", the workspace's text, "Behaviors\n", then each behaviour's
// text at indent 1, in the dict's order; line breaks come from those texts.
// The pieces are joined once, at the end, so the time grows with the text.
Result summary(const Args& args) {
    PyObject* self = args[0];
    Ref pieces = Ref::steal(PyList_New(0));
    auto append = [&](const Ref& piece) { return piece && PyList_Append(pieces.get(), piece.get()) == 0; };
    if (!pieces || !append(Ref::borrow(text::workspace_heading))) return failed();
    Ref workspace = frame::attr(self, name::_workspace);
    if (!workspace || !append(formatted(workspace))) return failed();
    if (!append(Ref::borrow(text::behaviors_heading))) return failed();

    Ref behaviors = frame::attr(self, name::_behaviors);
    if (!behaviors) return failed();
    bool walked = frame::for_each_value(behaviors.get(), [&](const Ref& behavior) {
        Ref behavior_text = frame::method(behavior, name::_str, number::one);
        return behavior_text && append(formatted(behavior_text));
    });
    if (!walked) return failed();
    Ref print_str = Ref::steal(PyUnicode_Join(text::nothing, pieces.get()));
    if (!print_str || !frame::expect_exact(print_str.get(), &PyUnicode_Type, true)) return failed();
    return print_str;
}

Result store_workspace(const Args& args) {
    if (!frame::set_attr(args[0], name::_workspace, Ref::borrow(args[1]))) return failed();
    return frame::none();
}

Result held_workspace(const Args& args) {
    Ref workspace = frame::attr(args[0], name::_workspace);
    if (!workspace) return failed();
    return workspace;
}

// Stores the behaviour under the key its name() gives; a key already present
// keeps its place and now holds this behaviour.
Result store_behavior(const Args& args) {
    PyObject* self = args[0];
    PyObject* behavior = args[1];
    Ref behaviors = frame::attr(self, name::_behaviors);
    if (!behaviors) return failed();
    Ref key = frame::method(behavior, name::name);
    if (!key) return failed();
    if (PyObject_SetItem(behaviors.get(), key.get(), behavior) < 0) return failed();
    return frame::none();
}

// The project's own dict: changes made through it change the project.
Result held_behaviors(const Args& args) {
    Ref behaviors = frame::attr(args[0], name::_behaviors);
    if (!behaviors) return failed();
    if (!frame::expect_exact(behaviors.get(), &PyDict_Type, true)) return failed();
    return behaviors;
}

Result held_system(const Args& args) {
    Ref system = frame::attr(args[0], name::_system);
    if (!system) return failed();
    return system;
}

Result always_valid(const Args&) { return frame::boolean(true); }

}  // namespace

const frame::MethodDef init{name::init_, {{name::self}}, {}, {}, construct};
const frame::MethodDef to_str{
    name::str_, {{name::self}}, {&name::print_str, &name::behavior}, {{name::return_, "str"}}, summary};
const frame::MethodDef set_workspace{
    name::setWorkspace, {{name::self}, {name::workspace}}, {}, {{name::workspace, "Workspace"}}, store_workspace};
const frame::MethodDef workspace{name::workspace, {{name::self}}, {}, {{name::return_, "Workspace"}}, held_workspace};
const frame::MethodDef add_behavior{
    name::addBehavior, {{name::self}, {name::behavior}}, {}, {{name::behavior, "Behavior"}}, store_behavior};
const frame::MethodDef behaviors{
    name::behaviors, {{name::self}}, {}, {{name::return_, "Dict[str, Behavior]"}}, held_behaviors};
const frame::MethodDef system{name::system, {{name::self}}, {}, {{name::return_, "System"}}, held_system};
const frame::MethodDef validate{name::validate, {{name::self}}, {}, {{name::return_, "bool"}}, always_valid};

}  // namespace mirvane::project
