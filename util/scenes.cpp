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

// The names in `folder` (not starting with '.') that `keep` keeps, as it gives them, sorted.
template <typename Keep>
bool names_in(const std::string& folder, Keep keep, std::vector<std::string>* names, std::string* reason) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    *reason = std::strerror(errno);
    return false;
  }
  std::vector<std::string> found;
  while (const dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name[0] != '.' && keep(&name)) found.push_back(name);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  *names = std::move(found);
  return true;
}

}  // namespace

bool find_scenes(const std::string& folder, std::vector<std::string>* names, std::string* reason) {
  const auto scene = [&](std::string* name) {
    const std::string in = folder + "/" + *name;
    return is_file(in + "/im0.png") && is_file(in + "/im1.png") && is_file(in + "/calib.txt");
  };
  return names_in(folder, scene, names, reason);
}

bool find_kitti_pairs(const std::string& folder, std::vector<std::string>* names, std::string* reason) {
  const auto pair = [&](std::string* name) {
    const size_t n = name->size();
    if (n < 5 || name->compare(n - 4, 4, ".png") != 0 || !is_file(folder + "/image_2/" + *name) ||
        !is_file(folder + "/image_3/" + *name))
      return false;
    name->resize(n - 4);
    return true;
  };
  return names_in(folder + "/image_2", pair, names, reason);
}
