#include "disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "path_names.h"

namespace {

bool Refused(int error) { return error == EACCES || error == EPERM || error == EROFS; }

bool FolderTakesNewFiles(const std::string& folder) {
  const std::string probe = (folder.empty() ? std::string(".") : folder) + "/tessolo-" + std::to_string(getpid()) + ".probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return !Refused(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace

WriteRefusal SystemDisk::WhyRefused(const std::string& path) {
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return WriteRefusal::kReadOnlyFile;
  if (!FolderTakesNewFiles(FolderOf(path))) return WriteRefusal::kFolderNotWritable;
  if (exists) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
    } else if (Refused(errno)) {
      return WriteRefusal::kFileNotWritable;
    }
  }
  return WriteRefusal::kUnknown;
}

bool SystemDisk::AdministratorMayHelp(const std::string& folder) {
  struct stat st {};
  return ::stat(folder.c_str(), &st) == 0 && st.st_uid != ::geteuid();
}
