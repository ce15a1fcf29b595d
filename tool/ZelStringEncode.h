#pragma once

// Writes each of count bytes of src as two upper-case hex digits into dst,
// which must hold 2 * count + 1 bytes, and a terminating NUL. Answers the
// number of digits written; null pointers write nothing and answer 0.
int ZelStringEncode(const unsigned char* src, char* dst, int count);
