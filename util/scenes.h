// The pairs of a folder in the Middlebury 2014 or the KITTI layout: the one rule of what a
// scene is, for ondrel-match --middlebury and --kitti, the benchmark script and Python
// (ondrel.find_scenes, ondrel.find_kitti_pairs, and through them ondrel.batch).
//
// Middlebury: a scene is a sub-folder (its name not starting with '.') that holds the files
// im0.png, im1.png and calib.txt. KITTI: a pair is a file image_2/<name>.png (its name not
// starting with '.') with a file image_3/<name>.png. Symbolic links are followed; nothing is
// read from the files.
#pragma once

#include <string>
#include <vector>

// The names of the scene folders of `folder`, sorted bytewise. False with *reason (e.g. "No
// such file or directory") when `folder` cannot be listed; a folder without scenes gives true
// and no name.
bool find_scenes(const std::string& folder, std::vector<std::string>* names, std::string* reason);

// The <name>s of the pairs of the KITTI-layout `folder` (without ".png"), sorted bytewise.
// False with *reason when folder/image_2 cannot be listed.
bool find_kitti_pairs(const std::string& folder, std::vector<std::string>* names, std::string* reason);
