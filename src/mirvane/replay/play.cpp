// Replay.play: choose a recorded run, rebuild the complete system state after
// every product, then run a playback clock over the run, handing the snapshot
// nearest to the clock to the workspace, the system and the viewer each cycle.
#include <cmath>

#include "mirvane/replay/movie.hpp"
#include "mirvane/replay/names.hpp"
#include "mirvane/replay/replay.hpp"

namespace mirvane::replay {

namespace {

using frame::truth;

Ref compare(PyObject* left, PyObject* right, int operation) {
    if (!left || !right) return {};
    return Ref::steal(PyObject_RichCompare(left, right, operation));
}

// len(sequence), -1 on failure.
Py_ssize_t length(const Ref& sequence) { return sequence ? PyObject_Size(sequence.get()) : -1; }

// Whether the project, the data set and the viewer are all set (true), in
// that order, reading each only while the ones before it are.
int collaborators_set(PyObject* self) {
    for (PyObject* attribute : {name::_project.get(), name::_data.get(), name::_viewer.get()}) {
        int set = truth(frame::attr(self, attribute));
        if (set <= 0) return set;
    }
    return 1;
}

// --- record choice -------------------------------------------------------------

// Whether `index` names one of `count` records, negative ones counting from
// the end.
bool names_a_record(PyObject* index, Py_ssize_t count) {
    int overflow = 0;
    long long position = PyLong_AsLongLongAndOverflow(index, &overflow);
    return !overflow && position >= -count && position < count;
}

// -1: the record that ended last (the first of equals); any other index by
// position, negative ones counting from the end. One past the end fails the
// assertion; any other that names no record is the IndexError that indexing
// the records gives (theirs is a TypeError for an index beyond 64 bits).
Ref choose_record(const Ref& data_records, PyObject* index) {
    Ref chosen = Ref::borrow(index);
    int latest = truth(compare(index, number::minus_one, Py_EQ));
    if (latest < 0) return {};
    if (latest) {
        Py_ssize_t count = length(data_records.attr(name::records));
        if (count < 0) return {};
        Ref timestamps = Ref::steal(PyList_New(0));
        if (!timestamps) return {};
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref position = Ref::steal(PyLong_FromSsize_t(i));
            if (!position) return {};
            Ref stop = data_records.attr(name::records).item(position.get()).attr(name::stop_timestamp_ns);
            if (!stop || PyList_Append(timestamps.get(), stop.get()) < 0) return {};
        }
        Ref latest_position = global::np.get().method(name::argmax, timestamps);
        if (!latest_position) return {};
        chosen = Ref::steal(PyNumber_Long(latest_position.get()));
        if (!chosen) return {};
    } else {
        Py_ssize_t count = length(data_records.attr(name::records));
        if (count < 0) return {};
        if (frame::assertions_enabled()) {
            Ref records_count = Ref::steal(PyLong_FromSsize_t(count));
            if (!frame::assert_true(compare(index, records_count.get(), Py_LT))) return {};
        }
        if (!names_a_record(index, count)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return {};
        }
    }
    return data_records.attr(name::records).item(chosen.get());
}

// --- state reconstruction ----------------------------------------------------------

// target.CopyFrom(source)
bool copy_into(const Ref& target, const Ref& source) {
    return target && source && frame::method(target, name::CopyFrom, source);
}

// The state that every product is applied to in turn. It is only ever written
// into, never replaced, so each of its parts is read once and kept; so is
// each part of a product while that product is applied.
class RunningState {
public:
    explicit RunningState(Ref state) : state_(std::move(state)) {}
    const Ref& get() const noexcept { return state_; }

    // Only the first kind the product carries counts, in this order.
    bool apply(PyObject* product) {
        Ref has_field = frame::attr(product, name::HasField);
        if (!has_field) return false;
        auto carries = [&](PyObject* kind) { return truth(frame::call(has_field, kind)); };
        if (int has = carries(name::perception)) return has > 0 && apply_perception(product);
        if (int has = carries(name::decision)) return has > 0 && copy_part(copy_decision_, name::decision, product);
        if (int has = carries(name::planner)) return has > 0 && copy_part(copy_planner_, name::planner, product);
        if (int has = carries(name::controller)) return has > 0 && apply_controller(product);
        return true;
    }

private:
    // owner.<field>, read on first use.
    static const Ref& part(Ref& kept, const Ref& owner, PyObject* field) {
        if (!kept) kept = owner.attr(field);
        return kept;
    }
    const Ref& workspace_map(Ref& kept, PyObject* field) {
        return part(kept, part(workspace_, state_, name::workspace), field);
    }

    // state.<field>.CopyFrom(product.<field>); gives product.<field>. The
    // part's bound CopyFrom is kept with it.
    Ref copy_part(Ref& kept_copy_from, PyObject* field, PyObject* product) {
        if (!kept_copy_from) kept_copy_from = state_.attr(field).attr(name::CopyFrom);
        if (!kept_copy_from) return {};
        Ref source = frame::attr(product, field);
        if (!source || !frame::call(kept_copy_from, source)) return {};
        return source;
    }

    // The perception, and each reported camera pose into the workspace's cameras.
    bool apply_perception(PyObject* product) {
        Ref camera_poses = copy_part(copy_perception_, name::perception, product).attr(name::camera_poses);
        if (!camera_poses) return false;
        return frame::for_each_item(camera_poses.get(), [&](const Ref& camera, const Ref& pose) {
            return copy_into(workspace_map(cameras_, name::cameras).item(camera.get()).attr(name::base_pose), pose);
        });
    }

    // The controller; the robot's joint and effector positions when it names
    // a robot; the held item's pose when it names one.
    bool apply_controller(PyObject* product) {
        Ref controller = copy_part(copy_controller_, name::controller, product);
        if (!controller) return false;
        Ref robot = controller.attr(name::robot);
        int names_robot = truth(robot);
        if (names_robot < 0) return false;
        if (names_robot) {
            Ref feedback = controller.attr(name::feedback);
            Ref robot_positions = feedback.attr(name::joint).attr(name::positions);
            if (!robot_positions) return false;
            Ref entry = workspace_map(robots_, name::robots).item(robot.get());
            if (!copy_into(entry.attr(name::joint_positions), robot_positions)) return false;
            Ref effector_positions = feedback.attr(name::effector).attr(name::positions);
            if (!effector_positions || !copy_into(entry.attr(name::effector_positions), effector_positions)) {
                return false;
            }
        }
        Ref grasped_item = controller.attr(name::grasped_item);
        if (!grasped_item) return false;
        Ref grasped_item_pose = controller.attr(name::grasped_item_pose);
        if (!grasped_item_pose) return false;
        int holds_item = truth(grasped_item);
        if (holds_item <= 0) return holds_item == 0;
        return copy_into(workspace_map(items_, name::items).item(grasped_item.get()).attr(name::base_pose),
                         grasped_item_pose);
    }

    Ref state_;
    Ref copy_perception_, copy_decision_, copy_planner_, copy_controller_;
    Ref workspace_, cameras_, robots_, items_;
};

// Applies every product in turn to a running state that starts from the
// record's workspace, keeping an independent copy of it after each.
bool rebuild_states(const Ref& record, Ref& time_ns, Ref& states) {
    Ref state_class = global::system_pb2.get().attr(name::SystemState);
    if (!state_class) return false;
    Ref start = record.attr(name::project).attr(name::workspace).attr(name::state);
    if (!start) return false;
    RunningState state(frame::call(state_class, frame::kw(name::workspace, start)));
    if (!state.get()) return false;

    time_ns = Ref::steal(PyList_New(0));
    states = Ref::steal(PyList_New(0));
    if (!time_ns || !states) return false;
    Ref record_products = record.attr(name::products);
    Ref products = record_products ? Ref::steal(PyObject_GetIter(record_products.get())) : Ref{};
    if (!products) return false;
    while (Ref product = Ref::steal(PyIter_Next(products.get()))) {
        Ref timestamp = product.attr(name::timestamp_ns);
        if (!timestamp || PyList_Append(time_ns.get(), timestamp.get()) < 0) return false;
        if (!state.apply(product.get())) return false;
        Ref new_state = global::system_pb2.get().attr(name::SystemState)();
        if (!copy_into(new_state, state.get()) || PyList_Append(states.get(), new_state.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// The workspace takes the record's starting state; the system is left alone.
bool place_start(PyObject* self, const Ref& record) {
    Ref set_state = frame::attr(self, name::_project).method(name::workspace).attr(name::_setState);
    if (!set_state) return false;
    Ref start = record.attr(name::project).attr(name::workspace).attr(name::state);
    return start && frame::call(set_state, frame::kw(name::state, start));
}

// The product times in seconds from the first product.
Ref time_axis(const Ref& time_ns) {
    Ref nanoseconds = global::np.get().method(name::array, time_ns);
    if (!nanoseconds) return {};
    Ref seconds = Ref::steal(PyNumber_Multiply(number::nanosecond, nanoseconds.get()));
    Ref first = seconds.item(number::zero);
    if (!first) return {};
    return Ref::steal(PyNumber_Subtract(seconds.get(), first.get()));
}

// --- playback loop -------------------------------------------------------------

// i = np.argmin(np.abs(t - time_s)): one pass over all product times; the
// earlier of two equally near.
Ref nearest(const Ref& t, const Ref& time_s) {
    Ref distance = Ref::steal(PyNumber_Subtract(t.get(), time_s.get()));
    if (!distance) return {};
    Ref absolute = global::np.get().method(name::abs, distance);
    if (!absolute) return {};
    return global::np.get().method(name::argmin, absolute);
}

// Hands the snapshot to the project's workspace and system and has the
// viewer render it.
bool show(PyObject* self, const Ref& state) {
    Ref set_workspace_state = frame::attr(self, name::_project).method(name::workspace).attr(name::_setState);
    if (!set_workspace_state) return false;
    Ref workspace_state = state.attr(name::workspace);
    if (!workspace_state || !frame::call(set_workspace_state, workspace_state)) return false;
    Ref system = frame::attr(self, name::_project).method(name::system);
    if (!system || !frame::method(system, name::_setState, state)) return false;
    return bool(frame::attr(self, name::_viewer).method(name::render));
}

// Runs cycles until the clock, as the previous cycle left it, has passed the
// last product's time. The clock follows the wall clock times `speed`, or for
// a movie steps by speed / fps per frame.
bool run_clock(PyObject* self, PyObject* speed, PyObject* fps, const Ref& states, const Ref& time_s,
               MovieCapture* movie) {
    Ref k = Ref::borrow(number::zero);
    Ref t = Ref::borrow(number::zero);
    Ref t0 = global::time.get().method(name::time);
    if (!t0) return false;
    for (;;) {
        int more = truth(compare(t.get(), time_s.item(number::minus_one).get(), Py_LE));
        if (more <= 0) return more == 0;
        if (movie) {
            Ref played = Ref::steal(PyNumber_Multiply(speed, k.get()));
            t = played ? Ref::steal(PyNumber_TrueDivide(played.get(), fps)) : Ref{};
        } else {
            Ref now = global::time.get().method(name::time);
            Ref elapsed = now ? Ref::steal(PyNumber_Subtract(now.get(), t0.get())) : Ref{};
            t = elapsed ? Ref::steal(PyNumber_Multiply(speed, elapsed.get())) : Ref{};
        }
        if (!t) return false;
        Ref i = nearest(t, time_s);
        if (!i) return false;
        Ref state = states.item(i.get());
        if (!state || !show(self, state)) return false;
        if (movie) {
            Ref viewer = frame::attr(self, name::_viewer);
            if (!viewer || !movie->capture(viewer.get(), t.get())) return false;
        }
        k = Ref::steal(PyNumber_Add(k.get(), number::one));
        if (!k) return false;
    }
}

Result play_record(const Args& args) {
    PyObject* self = args[0];
    PyObject* index = args[1];
    double speed = args.real(2);
    PyObject* moviename = args[3];
    PyObject* fps = args[4];

    int ready = collaborators_set(self);
    if (ready < 0) return failed();
    if (!ready) {
        if (!global::logging.get().method(name::error, text::guard_message)) return failed();
        return frame::none();
    }
    bool movie = moviename != Py_None && PyUnicode_GET_LENGTH(moviename) > 0;
    if (movie && frame::assertions_enabled() && !check_movie_name(moviename)) return failed();
    // Either would keep the clock from ever passing the end of the run.
    if (!(speed > 0)) {
        PyErr_SetString(PyExc_ValueError, "speed must be a positive number");
        return failed();
    }
    // The clock would be infinite at once, or not a number: one cycle at no time.
    if (std::isinf(speed)) {
        PyErr_SetString(PyExc_ValueError, "speed must be a finite number");
        return failed();
    }
    if (movie) {
        int positive = PyObject_RichCompareBool(fps, number::zero, Py_GT);
        if (positive < 0) return failed();
        if (!positive) {
            PyErr_SetString(PyExc_ValueError, "fps must be a positive integer");
            return failed();
        }
        if (!check_movie_destination(moviename)) return failed();
    }

    Ref data_records = frame::attr(self, name::_data).attr(name::_data_records);
    if (!data_records) return failed();
    Ref record = choose_record(data_records, index);
    if (!record) return failed();
    Ref time_ns, states;
    if (!rebuild_states(record, time_ns, states)) return failed();
    if (!place_start(self, record)) return failed();
    MovieCapture capture;
    if (movie && !capture.prepare()) return failed();
    Ref time_s = time_axis(time_ns);
    if (!time_s) return failed();
    Ref speed_value = Ref::steal(PyFloat_FromDouble(speed));
    if (!speed_value) return failed();
    if (!run_clock(self, speed_value.get(), fps, states, time_s, movie ? &capture : nullptr)) return failed();
    if (movie && !capture.write(moviename, fps)) return failed();
    return frame::none();
}

}  // namespace

const frame::MethodDef play{
    name::play,
    {{name::self}, {name::index, Kind::Int}, {name::speed, Kind::Float}, {name::moviename, Kind::Str}, {name::fps, Kind::Int}},
    {&name::data_records, &name::timestamps, &name::i, &name::record, &name::state, &name::time_ns, &name::states,
     &name::product, &name::camera_poses, &name::camera, &name::pose, &name::robot, &name::robot_positions,
     &name::effector_positions, &name::grasped_item, &name::grasped_item_pose, &name::new_state, &name::image_files,
     &name::time_s, &name::k, &name::t, &name::t0, &name::image_file, &name::clip},
    {{name::index, "int"}, {name::speed, "float"}, {name::moviename, "str"}, {name::fps, "int"}},
    play_record};

}  // namespace mirvane::replay
