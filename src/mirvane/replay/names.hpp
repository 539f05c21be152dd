// The names, texts, numbers and built-ins of mirvane.replay, made once when
// the module initialises.
#pragma once

#include <unistd.h>

#include "frame/frame.hpp"

namespace mirvane::replay {

using namespace frame::prelude;

namespace name {
// modules, and names imported from them that no body looks up (see global)
inline Name time{"time"};
inline Name numpy{"numpy"};
inline Name mirvane_movie{"mirvane.movie"};
inline Name mirvane_project{"mirvane.project"};
inline Name mirvane_data{"mirvane.data"};
inline Name mirvane_viewer{"mirvane.viewer"};
inline Name WorkspaceViewer{"WorkspaceViewer"};
inline Name dravik_api{"dravik.api"};
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
}  // namespace name

namespace text {
inline Name guard_message{"Please set a project, data, and viewer to use replay"};
inline Name frame_directory{"./tmp"};
inline Name frames_prefix{"frames-"};
inline Name movie_extension{".mp4"};
inline Name frame_file{"tmp_{:08.2f}.png"};
inline Name repeated_frame_file{"tmp_{:08.2f}-{}.png"};
}  // namespace text

namespace number {
inline Float nanosecond{1e-9};
inline Int zero{0};
inline Int one{1};
inline Int ten{10};
inline Int minus_one{-1};
inline Float real_time{1.0};
inline Int write_and_search{W_OK | X_OK};
}  // namespace number

namespace global {
inline Global time{"time"};
inline Global np{"np"};
inline Global logging{"logging"};
inline Global os{"os"};
inline Global shutil{"shutil"};
inline Global ImageSequenceClip{"ImageSequenceClip"};
inline Global Project{"Project"};
inline Global Data{"Data"};
inline Global system_pb2{"system_pb2"};
inline Global _MOVIE_TMP_PNG_PATH{"_MOVIE_TMP_PNG_PATH"};
inline Global _MOVIE_EXT{"_MOVIE_EXT"};
}  // namespace global

// No body calls range; it is still captured, so that an interpreter without it
// fails the import as callers expect.
namespace builtin {
inline Builtin range{"range"};
}  // namespace builtin

}  // namespace mirvane::replay
