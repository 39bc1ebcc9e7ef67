// Exception types of the containers, the image files and the numerical library.
//
// Each type writes its message to std::cerr (ended with std::endl) when it is
// constructed, so the text reaches the user at the throw site whatever catches
// it later. They are thrown by value.
#pragma once

#include <string>

// The file does not have the expected format (its magic number is wrong).
class EInvalidFileFormat {
public:
  explicit EInvalidFileFormat(const char* aFormat);
};

// Two operands whose sizes do not fit the operation; sizes are x-size, y-size.
class EIncompatibleMatrices {
public:
  EIncompatibleMatrices(int aXSize1, int aYSize1, int aXSize2, int aYSize2);
};

// A matrix that must be square is not.
class ENonquadraticMatrix {
public:
  ENonquadraticMatrix(int aXSize, int aYSize);
};

// A file that cannot be opened, read or written, or whose header or raster is
// malformed beyond its magic number. The message names the file and the fault.
class EFileError {
public:
  explicit EFileError(std::string aMessage);
  const std::string& message() const { return mMessage; }

private:
  std::string mMessage;
};
