// Whole files by their Unicode paths, for the tag lists engineers import and export.
#pragma once

#include <cstddef>
#include <string>

namespace modbus {

// False for a file that does not open or holds more than `limit` bytes.
bool ReadWholeFile(const std::wstring& path, std::string& bytes, size_t limit);
// Creates or replaces the file; false when any of it could not be written.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

}  // namespace modbus
