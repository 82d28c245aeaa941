#include "util/png_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <opencv2/imgcodecs.hpp>

// Writes all of data to fd, then flushes it to the disk; false with errno set on failure.
static bool write_all(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0;
}


namespace {

bool g_named_temporaries_only = false;
void (*g_after_create)() = nullptr;

// The signals that end a program from the terminal or the system, held back for the few
// system calls during which a named temporary exists (they are delivered afterwards).
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct SignalsHeld {
  sigset_t previous;
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int s : kEndingSignals) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

// A short name of our own beside `path`'s folder: free of the target's length, so that any name
// up to the file-name limit can be written.
std::string temporary_name(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  char name[64];
  std::snprintf(name, sizeof name, "/.ondrel-%ld-%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
  return folder + name;
}

// Links the complete unnamed file fd (O_TMPFILE) as `path`: at once where path does not exist,
// else under a temporary name that is renamed over it with the ending signals held, so that no
// temporary outlives the call. Returns 0 or an errno value.
int give_name(int fd, const std::string& folder, const std::string& path) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  SignalsHeld held;
  if (::linkat(AT_FDCWD, proc, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != EEXIST) return errno;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temporary = temporary_name(folder);
    if (::linkat(AT_FDCWD, proc, AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    if (::rename(temporary.c_str(), path.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(temporary.c_str());
    return error;
  }
  return EEXIST;
}

// The named temporary of a file system without O_TMPFILE; SIGINT, SIGTERM and SIGHUP, where they
// would end the program, remove it (their handler unlinks it, then the signal ends the program
// as before). One at a time per process: its name lives where the handler can read it.
std::mutex g_named_mutex;
char g_named_path[PATH_MAX];
volatile sig_atomic_t g_named_set = 0;
struct sigaction g_previous_actions[3];
bool g_handled[3];

void remove_named_temporary(int signal) {
  if (g_named_set) ::unlink(g_named_path);
  g_named_set = 0;
  for (int i = 0; i < 3; ++i)
    if (kEndingSignals[i] == signal) ::sigaction(signal, &g_previous_actions[i], nullptr);
  ::raise(signal);  // delivered with the default action once this handler returns
}

class NamedTemporary {
 public:
  explicit NamedTemporary(const std::string& folder) : lock_(g_named_mutex), folder_(folder) {}
  ~NamedTemporary() {
    SignalsHeld held;
    if (g_named_set) ::unlink(g_named_path);
    g_named_set = 0;
    restore_handlers();
  }
  // Creates the file and returns its descriptor, or -1 with errno set.
  int create() {
    SignalsHeld held;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = temporary_name(folder_);
      if (name.size() >= sizeof g_named_path) {
        errno = ENAMETOOLONG;
        return -1;
      }
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return -1;
      std::memcpy(g_named_path, name.c_str(), name.size() + 1);
      g_named_set = 1;
      install_handlers();
      return fd;
    }
    errno = EEXIST;
    return -1;
  }
  // Renames the temporary to path; 0 or an errno value.
  int rename_to(const std::string& path) {
    SignalsHeld held;
    if (!g_named_set) return ENOENT;  // removed by a signal whose earlier action let the program go on
    if (::rename(g_named_path, path.c_str()) != 0) return errno;
    g_named_set = 0;
    return 0;
  }

 private:
  void install_handlers() {
    struct sigaction action {};
    action.sa_handler = remove_named_temporary;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
      // only a signal that would end the program: one it ignores or handles itself lets the
      // write go on
      g_handled[i] = ::sigaction(kEndingSignals[i], nullptr, &g_previous_actions[i]) == 0 &&
                     !(g_previous_actions[i].sa_flags & SA_SIGINFO) && g_previous_actions[i].sa_handler == SIG_DFL &&
                     ::sigaction(kEndingSignals[i], &action, nullptr) == 0;
    }
  }
  void restore_handlers() {
    for (int i = 0; i < 3; ++i)
      if (g_handled[i]) ::sigaction(kEndingSignals[i], &g_previous_actions[i], nullptr), g_handled[i] = false;
  }
  std::lock_guard<std::mutex> lock_;
  std::string folder_;
};

}  // namespace

void set_file_writing_for_tests(bool named_temporaries_only, void (*after_create)()) {
  g_named_temporaries_only = named_temporaries_only;
  g_after_create = after_create;
}

bool write_png_file(const std::string& path, const cv::Mat& image, std::string* reason) {
  std::vector<unsigned char> png;
  bool encoded = false;
  try {  // the image library reports some failures by exception
    encoded = cv::imencode(".png", image, png);
  } catch (const cv::Exception&) {
    encoded = false;
  }
  if (!encoded) {
    *reason = "cannot be encoded as PNG";
    return false;
  }
  return write_file_completely(path, png.data(), png.size(), reason);
}

bool write_file_completely(const std::string& path, const void* data, size_t size, std::string* reason) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int error = 0;
  // a file without a name until it is complete: nothing is left behind whenever the process ends
  int fd = g_named_temporaries_only ? -1 : ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    if (g_after_create) g_after_create();
    if (!write_all(fd, static_cast<const unsigned char*>(data), size)) error = errno;
    if (error == 0) error = give_name(fd, folder, path);
    if (::close(fd) != 0 && error == 0) error = errno;
  } else if (g_named_temporaries_only || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
    // a file system (or kernel) without O_TMPFILE: a named temporary, removed by an ending signal
    NamedTemporary temporary(folder);
    fd = temporary.create();
    if (fd < 0) {
      error = errno;
    } else {
      if (g_after_create) g_after_create();
      if (!write_all(fd, static_cast<const unsigned char*>(data), size)) error = errno;
      if (::close(fd) != 0 && error == 0) error = errno;
      if (error == 0) error = temporary.rename_to(path);
    }
  } else {
    error = errno;
  }
  if (error != 0) {
    *reason = std::strerror(error);
    return false;
  }
  return true;
}
