// libFuzzer target: the PGM reader (see FuzzTargets.h).
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzTargets::silenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  FuzzTargets::pgmReader(aData, aSize);
  return 0;
}
