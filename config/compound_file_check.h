// A check of a compound file's structure before the platform's storage code reads it. That
// code trusts the file: a directory whose entries point at each other in a circle, or a
// sector chain that runs in a circle, makes it loop for ever (seen with Wine's). A file that
// fails the check is treated as one that does not open.
#pragma once

#include <string>

// True when `bytes` hold a compound file whose header, allocation tables, directory tree
// and stream chains are all within the file and free of cycles. It does not look at what the
// streams hold.
bool IsSoundCompoundFile(const std::string& bytes);
