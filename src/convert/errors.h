// Error codes printed as "\nerror(%d):%s\n". Codes below 100 come from the
// native load and save; codes from 100 up are the jobs' own.
#pragma once
#include <cstdint>

enum ErrorCode : int32_t {
  kErrNone = 0,
  kErrIllegalFormat = 1,
  kErrNotFound = -1,
  kErrFeatureVersion = -2,
  kErrBusyBgThread = -3,  // returned by nothing; the table keeps its text

  kErrSourceOpen = 100,         // the source cannot be opened for reading
  kErrNotPsd = 101,             // not a PSD file this program reads
  kErrDestinationCreate = 102,  // the destination (or its temporary file) cannot be created
  kErrWrite = 103,              // a write, close or the final rename failed
  kErrEmptyCanvas = 104,        // zero width or height: no valid PSD can be written
  kErrNoDocument = 105,         // the read ended without a document and without another message
  kErrOutOfMemory = 106,        // an allocation failed while the file was converted
  kErrTooLarge = 107,           // the file declares more than this machine is given to convert it
  kErrTooLargeForPsd = 108,     // not returned: a canvas over 30,000 pixels a side is written as a large document
  kErrSameFile = 109,           // the destination is the source file itself
  kErrUnusablePath = 110,       // a path of the command line that cannot be resolved
  kErrCancelled = 111,          // the caller's progress callback asked to stop
  kErrExists = 112,             // the destination exists and may not be replaced
  // A caller's misuse of the library.
  kErrInvalidArgument = 120,
  kErrOutOfRange = 121,
  kErrBufferTooSmall = 122,
  kErrBadState = 123,
};

// The code's text; any code not listed above is "Unknown".
const char* ErrorText(int32_t code);
