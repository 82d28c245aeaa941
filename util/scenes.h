// The scenes of a folder in the Middlebury 2014 layout: the one rule of what a scene folder is,
// for ondrel-match --middlebury, the benchmark scripts and Python (ondrel.find_scenes).
//
// A scene is a sub-folder (its name not starting with '.') that holds the files im0.png,
// im1.png and calib.txt (following symbolic links); nothing is read from them.
#pragma once

#include <string>
#include <vector>

// The names of the scene folders of `folder`, sorted bytewise. False with *reason (e.g. "No
// such file or directory") when `folder` cannot be listed; a folder without scenes gives true
// and no name.
bool find_scenes(const std::string& folder, std::vector<std::string>* names, std::string* reason);
