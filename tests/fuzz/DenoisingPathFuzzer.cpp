// libFuzzer target: reading, denoising and writing a tiny image (see FuzzTargets.h).
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzTargets::silenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  FuzzTargets::denoisingPath(aData, aSize);
  return 0;
}
