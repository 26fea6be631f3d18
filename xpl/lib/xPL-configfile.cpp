// xPL-configfile.cpp -- the configuration file: a header naming vendor and
// device, then one "name=value" line per entry, read into a name/value list
// and written from one.
//
// What the lines mean (definitions, instance ID, interval, groups, filters,
// values) is the configuration's business (xPL-config); this unit only keeps
// them safe.  A file is replaced whole: the lines go to a temporary file
// beside it, which is synced and renamed over the old one, so that a crash,
// a full disk or a failed write never costs the last good configuration.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xPL_priv.h"

namespace {

// A file opened with stdio, closed with the object.
struct ConfigFile {
  FILE *stream = nullptr;
  ~ConfigFile() {
    if (stream != nullptr) fclose(stream);
  }
};

// One line, its line feed removed; false at the end of the file.  Lines of
// any length are read whole.
bool readLine(FILE *theStream, std::string *theLine) {
  theLine->clear();
  int c;
  while ((c = getc(theStream)) != EOF) {
    if (c == '\n') return true;
    theLine->push_back(static_cast<char>(c));
  }
  return !theLine->empty();
}

// Whether the header line names this vendor and device (ignoring case);
// logs why not.
bool headerMatches(const std::string &header, const char *thePath, const char *theVendor,
                   const char *theDeviceID) {
  if (header.size() <= 4) {
    xPL_Error("CONFIG:: Config file header too short -- config not loaded");
    return false;
  }
  xPL_Debug("CONFIG:: Read header %s from config file, about to parse", header.c_str());

  const size_t dash = header.find('-', 1);
  if (dash == std::string::npos) {
    xPL_Error(
        "CONFIG:: Unable to parse configuration file header (missing dash) for %s -- config not "
        "loaded",
        thePath);
    return false;
  }
  const std::string vendor = header.substr(1, dash - 1);
  std::string deviceID = header.substr(dash + 1);
  if (deviceID.empty() || deviceID.back() != ']') {
    xPL_Error(
        "CONFIG:: Unable to parse configuration file header (missing end bracket) for %s -- "
        "config not loaded",
        thePath);
    return false;
  }
  deviceID.pop_back();
  if (xPL_strcmpIgnoreCase(vendor.c_str(), theVendor) != 0 ||
      xPL_strcmpIgnoreCase(deviceID.c_str(), theDeviceID) != 0) {
    xPL_Error("CONFIG:: Config file header does not match this device -- config not loaded");
    return false;
  }
  return true;
}

// The file that a save replaces: the path itself, or the file a symbolic
// link at the path points to (the link is kept).
std::string saveTarget(const char *thePath) {
  struct stat linkInfo;
  if (lstat(thePath, &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
    char *resolved = realpath(thePath, nullptr);
    if (resolved != nullptr) {
      std::string target = resolved;
      free(resolved);
      return target;
    }
  }
  return thePath;
}

std::string directoryOf(const std::string &thePath) {
  const size_t slash = thePath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return thePath.substr(0, slash);
}

// Creates the temporary file afresh (a stale one from a crash is removed;
// a symbolic link there is never followed).  -1 with errno on failure.
int createTemporary(const std::string &thePath) {
  int fd = open(thePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST && unlink(thePath.c_str()) == 0) {
    fd = open(thePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  return fd;
}

// A file that existed keeps its permissions (and, when allowed, owner).
void copyPermissions(int fd, const std::string &theTarget) {
  struct stat targetInfo;
  if (stat(theTarget.c_str(), &targetInfo) != 0 || !S_ISREG(targetInfo.st_mode)) return;
  if (fchown(fd, targetInfo.st_uid, targetInfo.st_gid) != 0) {
    // Not permitted: the file changes owner to us, as a fresh one would.
  }
  if (fchmod(fd, targetInfo.st_mode & 07777) != 0) {
    // The umask-based mode of a fresh file stays.
  }
}

// Writes the header and every line; false (errno set) on an error.
bool writeLines(FILE *out, const char *theVendor, const char *theDeviceID,
                xPL_NameValueListPtr theLines) {
  bool ok = fprintf(out, "[%s-%s]\n", theVendor, theDeviceID) >= 0;
  const int lineCount = xPL_getNamedValueCount(theLines);
  for (int i = 0; ok && i < lineCount; i++) {
    const xPL_NameValuePairPtr theLine = xPL_getNamedValuePairAt(theLines, i);
    const char *value = theLine->itemValue != nullptr ? theLine->itemValue : "";
    ok = fprintf(out, "%s=%s\n", theLine->itemName, value) >= 0;
  }
  return ok;
}

// Always reported, whatever the debug setting: the configuration stays in
// force in memory, but the operator must learn that it will not survive a
// restart.
bool saveFailed(const char *thePath, int theError) {
  xPL_Error("CONFIG:: File %s could not be opened/created -- %s (%d)", thePath,
            strerror(theError), theError);
  return false;
}

}  // namespace

bool xpl::internal::readConfigFile(const char *thePath, const char *theVendor,
                                   const char *theDeviceID, xPL_NameValueListPtr *theLines) {
  *theLines = nullptr;
  ConfigFile file;
  file.stream = fopen(thePath, "re");
  if (file.stream == nullptr) {
    xPL_Debug("CONFIG:: File %s does not exist -- no config loaded", thePath);
    return true;
  }

  std::string header;
  if (!readLine(file.stream, &header)) {
    xPL_Error("CONFIG:: Error reading config file %s -- config not loaded", thePath);
    return false;
  }
  if (!headerMatches(header, thePath, theVendor, theDeviceID)) return false;

  xPL_NameValueListPtr lines = xPL_newNamedValueList();
  std::string line;
  while (readLine(file.stream, &line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    line[equals] = '\0';
    xPL_addNamedValue(lines, line.c_str(), line.c_str() + equals + 1);
  }
  // A file that could not be read to its end would install only a part.
  if (ferror(file.stream)) {
    xPL_Error("CONFIG:: Error reading config file %s -- config not loaded", thePath);
    xPL_freeNamedValueList(lines);
    return false;
  }
  *theLines = lines;
  return true;
}

bool xpl::internal::writeConfigFile(const char *thePath, const char *theVendor,
                                    const char *theDeviceID, xPL_NameValueListPtr theLines) {
  const std::string target = saveTarget(thePath);
  const std::string temporary = target + ".tmp";

  const int fd = createTemporary(temporary);
  if (fd < 0) return saveFailed(thePath, errno);
  copyPermissions(fd, target);

  FILE *out = fdopen(fd, "w");
  if (out == nullptr) {
    const int error = errno;
    close(fd);
    unlink(temporary.c_str());
    return saveFailed(thePath, error);
  }

  errno = 0;
  bool written = writeLines(out, theVendor, theDeviceID, theLines) && fflush(out) == 0 &&
                 fsync(fileno(out)) == 0;
  int error = errno;
  if (fclose(out) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    return saveFailed(thePath, error != 0 ? error : EIO);
  }

  if (rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
    unlink(temporary.c_str());
    return saveFailed(thePath, error);
  }

  // Make the rename itself durable.
  const int directory = open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}
