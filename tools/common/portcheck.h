// Why a port cannot be opened, in words a user can act on, as the system
// reports it: no such port, permission denied (with the fix), port busy.
#pragma once

#include <string>

namespace brovatools {

enum class PortProblem { None, Missing, Permission, Busy, Other };

// Opens path for reading and writing and closes it again; None when that
// worked, else the problem and a one-line message naming path.
PortProblem checkPort(const std::string& path, std::string& message);

} // namespace brovatools
