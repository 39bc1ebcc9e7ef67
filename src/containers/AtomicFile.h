// Writing a file so that no reader ever sees it half-written.
#pragma once

#include <cstddef>
#include <string>

namespace NContainers {

// Writes aSize bytes to aPath. A regular file (or a name that does not exist
// yet) is written to a temporary file in the same directory and renamed into
// place, so a failure leaves any previous file untouched and no partial file
// behind; a new file gets the usual permissions (0666 less the umask), an
// existing one keeps its own. Other targets (a device such as /dev/stdout, a
// pipe) are written directly. Throws EFileError naming the file and the
// reason when anything fails.
void writeFileAtomically(const std::string& aPath, const unsigned char* aData, std::size_t aSize);

}  // namespace NContainers
