#include "Exceptions.h"

#include <iostream>
#include <utility>

EInvalidFileFormat::EInvalidFileFormat(const char* aFormat) {
  std::cerr << "Exception EInvalidFileFormat: File is not in " << aFormat << " format" << std::endl;
}

EIncompatibleMatrices::EIncompatibleMatrices(int aXSize1, int aYSize1, int aXSize2, int aYSize2) {
  std::cerr << "Exception EIncompatibleMatrices: M1 = " << aXSize1 << "x" << aYSize1 << "  M2 = " << aXSize2
            << "x" << aYSize2 << std::endl;
}

// The misspelling in the message is part of the program's established output.
ENonquadraticMatrix::ENonquadraticMatrix(int aXSize, int aYSize) {
  std::cerr << "Exception ENonquadarticMatrix: M = " << aXSize << "x" << aYSize << std::endl;
}

EFileError::EFileError(std::string aMessage) : mMessage(std::move(aMessage)) {
  std::cerr << mMessage << std::endl;
}
