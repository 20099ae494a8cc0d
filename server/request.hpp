// Turning one request datagram into a file to serve: the name it carries,
// the name as the operator may safely see it, and the confined open.
#pragma once

#include <string>
#include <string_view>

#include "protocol.hpp"

// The name up to its zero byte; a datagram without one is a name of all 32 bytes.
std::string_view requestName(const Datagram& buf);

// The name with every byte that is not printable ASCII written as \xHH, so
// that a request cannot drive the operator's terminal, and a backslash as
// \\, so that no two names log alike.
std::string escapeName(std::string_view name);

// Opens a regular file below the working directory without blocking, or
// returns an invalid Fd: absolute names, climbs out through ".." or a
// symbolic link, and anything but a regular file are refused, the last
// without being opened.
Fd openRequested(std::string_view name);

// The same by a walk in user space, one component at a time, where openat2
// is missing or refused. Exposed so that it stays tested on kernels that
// never need it.
Fd openRequestedByWalk(std::string_view name);

// Why openRequested failed, from the errno it left.
std::string openFailure(int err);
