// The names, texts, numbers and built-ins of mirvane.project, made once when
// the module initialises.
#pragma once

#include <fcntl.h>

#include "frame/frame.hpp"

namespace mirvane::project {

using namespace frame::prelude;

namespace name {
// modules, and names imported from them that no body looks up (see global)
inline Name logging{"logging"};
inline Name typing{"typing"};
inline Name Dict{"Dict"};
inline Name json_format{"google.protobuf.json_format"};
inline Name ParseError{"ParseError"};
inline Name dravik_api{"dravik.api"};
inline Name mirvane_version{"mirvane._version"};
inline Name mirvane_constants{"mirvane.constants"};
inline Name mirvane_workspace{"mirvane.workspace"};
inline Name mirvane_behavior{"mirvane.behavior"};
inline Name mirvane_system{"mirvane.system"};
inline Name Project{"Project"};
// methods and their parameters and locals
inline Name init_{"__init__"};
inline Name str_{"__str__"};
inline Name setWorkspace{"setWorkspace"};
inline Name workspace{"workspace"};
inline Name addBehavior{"addBehavior"};
inline Name behaviors{"behaviors"};
inline Name system{"system"};
inline Name save{"save"};
inline Name load{"load"};
inline Name validate{"validate"};
inline Name _getSnapshot{"_getSnapshot"};
inline Name _setSnapshot{"_setSnapshot"};
inline Name self{"self"};
inline Name behavior{"behavior"};
inline Name file{"file"};
inline Name snapshot{"snapshot"};
inline Name print_str{"print_str"};
inline Name path{"path"};
inline Name _{"_"};
inline Name f{"f"};
inline Name json_string{"json_string"};
inline Name key{"key"};
inline Name value{"value"};
inline Name return_{"return"};
// attributes
inline Name _system{"_system"};
inline Name _workspace{"_workspace"};
inline Name _behaviors{"_behaviors"};
inline Name name{"name"};
inline Name _str{"_str"};
inline Name format{"format"};
inline Name split{"split"};
inline Name realpath{"realpath"};
inline Name exists{"exists"};
inline Name makedirs{"makedirs"};
inline Name exist_ok{"exist_ok"};
inline Name sort_keys{"sort_keys"};
inline Name join{"join"};
inline Name replace{"replace"};
inline Name remove{"remove"};
inline Name stat{"stat"};
inline Name st_mode{"st_mode"};
inline Name chmod{"chmod"};
inline Name fsync{"fsync"};
inline Name open{"open"};
inline Name close{"close"};
inline Name fileno{"fileno"};
inline Name flush{"flush"};
inline Name write{"write"};
inline Name read{"read"};
inline Name ProjectSnapshot{"ProjectSnapshot"};
inline Name version{"version"};
inline Name CopyFrom{"CopyFrom"};
inline Name _ToModel{"_ToModel"};
inline Name _FromModel{"_FromModel"};
}  // namespace name

namespace text {
inline Name braces{"{}"};
inline Name nothing{""};
inline Name workspace_heading{"Workspace\n"};
inline Name behaviors_heading{"Behaviors\n"};
inline Name create_mode{"x"};
inline Name read_mode{"r"};
}  // namespace text

namespace number {
inline Int one{1};
// os.open flags that ask whether a file may be written, without waiting for
// a reader when it is a FIFO.
inline Int write_only{O_WRONLY | O_NONBLOCK};
}

namespace global {
inline Global os{"os"};
inline Global MessageToJson{"MessageToJson"};
inline Global Parse{"Parse"};
inline Global project_pb2{"project_pb2"};
inline Global version_{"__version__"};
inline Global MV_PROJECT_FILE_EXT{"MV_PROJECT_FILE_EXT"};
inline Global Workspace{"Workspace"};
inline Global Behavior{"Behavior"};
inline Global System{"System"};
}  // namespace global

namespace builtin {
inline Builtin open{"open"};
}  // namespace builtin

}  // namespace mirvane::project
