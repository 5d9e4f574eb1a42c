// Writes a destination so that a failure never costs the old file: the data
// goes to a new temporary file in the destination's folder, which replaces
// the destination only once it is complete and on disk.
#pragma once
#include <functional>
#include <string>

// What is at a destination path, as the directory entry itself shows it
// (links are not followed).
enum class DestinationKind {
  Missing,   // nothing: a new file is made
  File,      // a regular file or a symbolic link (dangling too): the entry is replaced
  Device,    // a character device (such as /dev/null): written directly
  Unusable,  // a directory, FIFO, socket or block device: never opened
};
DestinationKind ClassifyDestination(const std::string& path);

// Whether both paths name the same existing file, links followed (hard
// links and other spellings included).
bool SameFile(const std::string& a, const std::string& b);

// Told each temporary's path before it is created (true) and once it is
// gone, renamed or removed (false): a host that removes files on its own
// abnormal end (a signal) keeps the list.
using TemporaryWatch = std::function<void(const std::string& path, bool exists)>;

class SafeOutputFile {
 public:
  explicit SafeOutputFile(std::string destination, TemporaryWatch watch = nullptr);
  ~SafeOutputFile();  // Discard() unless committed
  SafeOutputFile(const SafeOutputFile&) = delete;
  SafeOutputFile& operator=(const SafeOutputFile&) = delete;

  // Creates the empty temporary file beside the destination's directory
  // entry. An existing file's mode, owner and group go to the temporary
  // (owner and group where permitted). False, and nothing created, when the
  // destination is unusable or its folder cannot take a new file.
  bool Create();
  // Where the writer writes: the temporary file, or the destination itself
  // when that is a character device, which cannot be replaced by a rename.
  const std::string& path() const { return path_; }
  // Puts the written file in place of the destination entry: flushes it to
  // disk, renames it over the entry (a link there is replaced, never
  // followed), and flushes the folder. Call only after the whole file was
  // written and closed without error. On failure the temporary file is
  // removed and the destination is left as it was.
  bool Commit();
  // Removes the temporary file; the destination is untouched.
  void Discard();

 private:
  void Watch(const std::string& path, bool exists) {
    if (watch_) watch_(path, exists);
  }

  std::string destination_;
  TemporaryWatch watch_;
  std::string path_;
  bool direct_ = false;
  bool committed_ = false;
};
