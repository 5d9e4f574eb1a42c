// Writes a destination so that a failure never costs the old file: the data
// goes to a new temporary file in the destination's folder, which replaces
// the destination only once it is complete.
#pragma once
#include <string>

class SafeOutputFile {
 public:
  explicit SafeOutputFile(std::string destination);
  ~SafeOutputFile();  // Discard() unless committed
  SafeOutputFile(const SafeOutputFile&) = delete;
  SafeOutputFile& operator=(const SafeOutputFile&) = delete;

  // Creates the empty temporary file. False (and nothing created) when the
  // destination is a directory or its folder cannot take a new file.
  bool Create();
  // Where the writer writes: the temporary file, or the destination itself
  // when that is a device or pipe, which cannot be replaced by a rename.
  const std::string& path() const { return path_; }
  // Puts the written file in place of the destination. Call only after the
  // whole file was written and closed without error. On failure the
  // temporary file is removed and the destination is left as it was.
  bool Commit();
  // Removes the temporary file; the destination is untouched.
  void Discard();

  const std::string& destination() const { return destination_; }

 private:
  std::string destination_;
  std::string target_;  // destination_, or the file a link there points to
  std::string path_;
  bool direct_ = false;
  bool committed_ = false;
};
