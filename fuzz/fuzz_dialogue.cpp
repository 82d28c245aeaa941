// Fuzz target: arbitrary bytes as the answers to the whole dialogue, run in-process on four
// tiny pairs with the display off. Inputs with an answer that reads as a number in
// 8 .. 2047 are skipped (see kFuzzLargestRadius).

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_work_dir();
  write_fixture_pairs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (has_costly_number(data, size)) return -1;  // -1: not kept in the corpus
  run_dialogue_on_bytes(data, size);
  remove_result_files();
  return 0;
}
