// module_dir.h - where the tools find the plug-in modules.
//
// Every tool that starts the core (ascan, and any later host) asks here, so
// that they all accept the same option and environment variable and find the
// modules of their own installation or build tree without being told.
#pragma once

#include <string>

namespace astool {

// The environment variable that names the modules directory.
extern const char kModulesEnv[];

// The directory to hand to as_core_instance_init, the first of:
//  1. `option` (the tool's --modules value), when not empty;
//  2. the environment variable ASCORE_MODULES, when set and not empty;
//  3. the modules directory of the installation the program runs from
//     (<prefix>/<libdir>/ascore/modules, found relative to the program);
//  4. the build tree's (<build>/modules beside <build>/bin);
//  5. the modules directory of the install prefix the tools were built for,
//     for a program copied elsewhere.
// 3 and 4 count only when the directory exists. 5 is returned even when it
// does not: the core then fails to start and names it.
std::string ModulesDir(const std::string& option);

// The same choice with its inputs given: `env` is the variable's value or
// null, `program_dir` the directory of the running program.
std::string ChooseModulesDir(const std::string& option, const char* env, const std::string& program_dir);

// The directory of the running program (symbolic links resolved), or "" when
// it cannot be told.
std::string ProgramDir();

} // namespace astool
