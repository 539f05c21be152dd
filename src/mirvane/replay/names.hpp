// The names, texts, numbers and built-ins of mirvane.replay, made once when
// the module initialises.
#pragma once

#include <unistd.h>

#include "frame/frame.hpp"

namespace mirvane::replay {

// What every file of the module uses from the frame.
using frame::Args;
using frame::failed;
using frame::Kind;
using frame::Ref;
using frame::Result;

namespace name {
using frame::Name;
// modules and the names imported from them
inline Name time{"time"};
inline Name numpy{"numpy"};
inline Name np{"np"};
inline Name logging{"logging"};
inline Name os{"os"};
inline Name shutil{"shutil"};
inline Name mirvane_movie{"mirvane.movie"};
inline Name ImageSequenceClip{"ImageSequenceClip"};
inline Name mirvane_project{"mirvane.project"};
inline Name Project{"Project"};
inline Name mirvane_data{"mirvane.data"};
inline Name Data{"Data"};
inline Name mirvane_viewer{"mirvane.viewer"};
inline Name WorkspaceViewer{"WorkspaceViewer"};
inline Name dravik_api{"dravik.api"};
inline Name system_pb2{"system_pb2"};
inline Name _MOVIE_TMP_PNG_PATH{"_MOVIE_TMP_PNG_PATH"};
inline Name _MOVIE_EXT{"_MOVIE_EXT"};
inline Name Replay{"Replay"};
// methods, parameters and locals
inline Name init_{"__init__"};
inline Name setProject{"setProject"};
inline Name setData{"setData"};
inline Name setViewer{"setViewer"};
inline Name play{"play"};
inline Name self{"self"};
inline Name project{"project"};
inline Name data{"data"};
inline Name viewer{"viewer"};
inline Name index{"index"};
inline Name speed{"speed"};
inline Name moviename{"moviename"};
inline Name fps{"fps"};
inline Name data_records{"data_records"};
inline Name timestamps{"timestamps"};
inline Name i{"i"};
inline Name record{"record"};
inline Name state{"state"};
inline Name time_ns{"time_ns"};
inline Name states{"states"};
inline Name product{"product"};
inline Name camera_poses{"camera_poses"};
inline Name camera{"camera"};
inline Name pose{"pose"};
inline Name robot{"robot"};
inline Name robot_positions{"robot_positions"};
inline Name effector_positions{"effector_positions"};
inline Name grasped_item{"grasped_item"};
inline Name grasped_item_pose{"grasped_item_pose"};
inline Name new_state{"new_state"};
inline Name image_files{"image_files"};
inline Name time_s{"time_s"};
inline Name k{"k"};
inline Name t{"t"};
inline Name t0{"t0"};
inline Name image_file{"image_file"};
inline Name clip{"clip"};
// attributes and keywords
inline Name _project{"_project"};
inline Name _data{"_data"};
inline Name _viewer{"_viewer"};
inline Name error{"error"};
inline Name _data_records{"_data_records"};
inline Name records{"records"};
inline Name stop_timestamp_ns{"stop_timestamp_ns"};
inline Name argmax{"argmax"};
inline Name argmin{"argmin"};
inline Name array{"array"};
inline Name abs{"abs"};
inline Name workspace{"workspace"};
inline Name system{"system"};
inline Name products{"products"};
inline Name SystemState{"SystemState"};
inline Name timestamp_ns{"timestamp_ns"};
inline Name HasField{"HasField"};
inline Name CopyFrom{"CopyFrom"};
inline Name perception{"perception"};
inline Name decision{"decision"};
inline Name planner{"planner"};
inline Name controller{"controller"};
inline Name cameras{"cameras"};
inline Name robots{"robots"};
inline Name items{"items"};
inline Name base_pose{"base_pose"};
inline Name feedback{"feedback"};
inline Name joint{"joint"};
inline Name effector{"effector"};
inline Name positions{"positions"};
inline Name joint_positions{"joint_positions"};
inline Name _setState{"_setState"};
inline Name render{"render"};
inline Name screenshot{"screenshot"};
inline Name filename{"filename"};
inline Name write_videofile{"write_videofile"};
inline Name rmtree{"rmtree"};
inline Name rmdir{"rmdir"};
inline Name mkdir{"mkdir"};
inline Name path{"path"};
inline Name exists{"exists"};
inline Name realpath{"realpath"};
inline Name dirname{"dirname"};
inline Name isdir{"isdir"};
inline Name access{"access"};
inline Name join{"join"};
inline Name format{"format"};
inline Name AssertionError{"AssertionError"};
inline Name range{"range"};
}  // namespace name

namespace text {
inline frame::Name guard_message{"Please set a project, data, and viewer to use replay"};
inline frame::Name frame_directory{"./tmp"};
inline frame::Name frames_prefix{"frames-"};
inline frame::Name movie_extension{".mp4"};
inline frame::Name frame_file{"tmp_{:08.2f}.png"};
inline frame::Name repeated_frame_file{"tmp_{:08.2f}-{}.png"};
}  // namespace text

namespace number {
inline frame::Float nanosecond{1e-9};
inline frame::Int zero{0};
inline frame::Int one{1};
inline frame::Int ten{10};
inline frame::Int minus_one{-1};
inline frame::Float real_time{1.0};
inline frame::Int write_and_search{W_OK | X_OK};
}  // namespace number

// The module globals the bodies use, each looked up at every use with one
// cache for the whole module (frame/globals.hpp): rebinding one takes effect
// at the next use.
namespace global {
inline frame::Global time{name::time};
inline frame::Global np{name::np};
inline frame::Global logging{name::logging};
inline frame::Global os{name::os};
inline frame::Global shutil{name::shutil};
inline frame::Global ImageSequenceClip{name::ImageSequenceClip};
inline frame::Global Project{name::Project};
inline frame::Global Data{name::Data};
inline frame::Global system_pb2{name::system_pb2};
inline frame::Global _MOVIE_TMP_PNG_PATH{name::_MOVIE_TMP_PNG_PATH};
inline frame::Global _MOVIE_EXT{name::_MOVIE_EXT};
}  // namespace global

// Taken once at import: later changes to the builtins module do not reach them.
// No body calls range; it is still captured, so that an interpreter without it
// fails the import as callers expect.
namespace builtin {
inline frame::Builtin AssertionError{name::AssertionError};
inline frame::Builtin range{name::range};
}  // namespace builtin

}  // namespace mirvane::replay
