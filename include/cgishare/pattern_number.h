// Pattern numbers between their text and integer forms.
//
// Pattern numbers from 1000 up have a three-character form with a leading letter ("Axx") and a
// four-digit form ("10xx"); in this library both directions go through the plain decimal form,
// so the texts these functions take and give are decimal numbers and a leading letter is not
// interpreted: it simply ends the number (read as 0).
//
// Reading a number: leading white space, one optional '+' or '-', then decimal digits up to the
// first non-digit; no digits read as 0. Digits beyond the range of a 32-bit int wrap around as
// 32-bit arithmetic does. Writing a number: decimal digits with a leading '-' for a negative
// value, no padding.
//
// `length` is always the size in bytes of the destination, terminating NUL included. Every
// failure returns -1 and leaves the destination untouched; failures are traced with the tag
// "[P1K]" (level 5), except where a function's comment says otherwise.
#pragma once

#include <cgishare/export.h>

// Writes `value` in decimal into `buffer`. 0, or -1 (traced) when the text and its NUL do not
// fit into `length` bytes (which is always so below 3); -1 without a trace for a null buffer.
CGISHARE_API int ptn_itoa(int value, char* buffer, int length);

// The number read from `text`; 0 for a null text.
CGISHARE_API int ptn_atoi(char* text);

// Writes the decimal form of the number in `source` into `dest`. -1 when the number is below 1
// (traced with the source text), or when its text would not leave one byte of `dest` spare
// (at most `length` - 2 characters; not traced), or for a null source or destination.
CGISHARE_API int ptn_Axxto10xx(char* source, char* dest, int length);

// Writes the decimal form of the number in `source` (zero and negative numbers included) into
// `dest`. -1 when its text would not leave one byte of `dest` spare (at most `length` - 2
// characters; traced), or for a null source or destination.
CGISHARE_API int ptn_10xxtoAxx(char* source, char* dest, int length);
