/* The bounds of the coverage tables that clang's -fsanitize-coverage=inline-8bit-counters,pc-table
 * emits for a COFF target. Each instrumented function puts its counters into a section of the
 * group ".SCOV$CM" and its program-counter table into ".SCOVP$M"; the runtime finds the tables
 * between the symbols below. GNU ld sorts the "$" suffixes of one group alphabetically, so
 * markers in "$A" and "$Z" sections come before and after every "$M" section. */
#include <stdint.h>

__attribute__((section(".SCOV$CA"), used)) uint64_t __start___sancov_cntrs = 0;
__attribute__((section(".SCOV$CZ"), used, aligned(1))) uint8_t __stop___sancov_cntrs = 0;
__attribute__((section(".SCOVP$A"), used)) uint64_t __start___sancov_pcs = 0;
__attribute__((section(".SCOVP$Z"), used, aligned(1))) uint8_t __stop___sancov_pcs = 0;
