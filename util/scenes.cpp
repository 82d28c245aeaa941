#include "util/scenes.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool find_scenes(const std::string& folder, std::vector<std::string>* names, std::string* reason) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    *reason = std::strerror(errno);
    return false;
  }
  std::vector<std::string> found;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name, scene = folder + "/" + name;
    if (name[0] != '.' && is_file(scene + "/im0.png") && is_file(scene + "/im1.png") && is_file(scene + "/calib.txt"))
      found.push_back(name);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  *names = std::move(found);
  return true;
}
